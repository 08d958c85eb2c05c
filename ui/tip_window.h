// The tip of the day: short help texts read once from config/tip.cfg at
// start, shown from a random first tip and stepped through forwards and
// backwards, wrapping at both ends. It carries the start option "Show Tip of
// the day on startup", which the configuration dialog's savecfg stores.
//
// Created once at start and only hidden and shown after that; shown without
// being modal. GUI thread only.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QToolButton;

namespace vantelo::ui {

inline constexpr const char* kTipsPath = "config/tip.cfg";
inline constexpr const char* kTipsName = "config\\tip.cfg";

class TFtip : public QWidget {
  Q_OBJECT

 public:
  explicit TFtip(QWidget* parent = nullptr);

  // Reads the tips file; raises ETipsFileError "Cannot open file
  // config\tip.cfg" when it cannot, leaving no tips. Run once at start.
  void FormCreate();
  void loadtip();

  // Shows the window with a new draw, or brings it forward when it is
  // shown already (without a new draw).
  void ShowTip();

  // Saves every setting (the configuration dialog's savecfg); raises when a
  // write fails. Set once the dialog exists.
  std::function<void()> savecfg;
  // The UTC time of day in milliseconds that seeds the first draw.
  std::function<std::uint32_t()> TimeOfDayMs;

  const std::vector<std::string>& Tips() const { return tips_; }
  int CurrentTip() const { return current_; }
  int LastTip() const { return last_; }

  QLabel* Label2 = nullptr;  // the tip text
  QCheckBox* CheckBox1 = nullptr;
  QToolButton* SpeedButton1 = nullptr;  // "Next tip      >>"
  QToolButton* SpeedButton2 = nullptr;  // "<< Previous tip"
  QToolButton* SpeedButton3 = nullptr;  // "Close"

 public slots:
  void FormShow();
  void SpeedButton1Click();  // next
  void SpeedButton2Click();  // previous
  void SpeedButton3Click();  // close, saving the settings

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildWindow();
  void ShowCurrent();

  std::vector<std::string> tips_;
  int last_ = 0;
  int current_ = 0;
};

// A tip's bytes as text: UTF-8 when they are valid UTF-8, else Latin-1.
QString TipText(const std::string& bytes);

}  // namespace vantelo::ui
