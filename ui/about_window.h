// The about window: the product, its version, the maker's home page and the
// support address as links. Created once at start, shown without being modal
// (a second request brings the same window forward), hidden by "Close".
// GUI thread only.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace vantelo::ui {

class TLinkLabel;

class TFabout : public QWidget {
  Q_OBJECT

 public:
  explicit TFabout(QWidget* parent = nullptr);

  // Shows the window, or brings it forward when it is shown already.
  void ShowAbout();

  QLabel* Image1 = nullptr;
  QLabel* ProductName = nullptr;
  TLinkLabel* HomePageLink = nullptr;
  TLinkLabel* EmailLink = nullptr;
  QPushButton* CloseButton = nullptr;

 private:
  void BuildWindow();
};

}  // namespace vantelo::ui
