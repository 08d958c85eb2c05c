// A label that works as a link: blue, underlined, the hand cursor, and a
// click (or Enter/Space once it has the keyboard) that emits `clicked`.
#pragma once

#include <QLabel>

namespace vantelo::ui {

class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace vantelo::ui
