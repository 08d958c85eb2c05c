// The program's windows, created in their fixed order: the main window (which
// owns every shared part), the about window, the tip window (which reads its
// tips as it is created) and the configuration dialog. None is shown at
// creation; the main window's deferred start shows what the settings ask for.
// Destroying the program destroys them in the reverse order, the main window
// and with it the relay last.
//
// GUI thread only.
#pragma once

#include <exception>
#include <memory>

#include "app/main_window.h"

namespace vantelo::dialup {
class TDialUp;
}
namespace vantelo::ui {
class TFabout;
class TFconfig;
class TFtip;
}  // namespace vantelo::ui

namespace vantelo::app {

class TProgram {
 public:
  // `dialUp` may be given for tests; by default the machine's sources. A tips
  // file that cannot be read is reported in the error box once the loop runs
  // (see Start) and the start goes on without tips.
  explicit TProgram(std::unique_ptr<dialup::TDialUp> dialUp = nullptr);
  ~TProgram();
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  // Starts the main window's timers: the tick, and a second later the
  // deferred start; then, as the loop's first work, shows the error of a
  // tips file that could not be read. The tick goes on while that box is
  // open, so the relay listens whatever the user does with it. Call once,
  // right before the message loop runs.
  void Start();

  TFmain& Fmain() { return *Fmain_; }
  ui::TFabout& Fabout() { return *Fabout_; }
  ui::TFtip& Ftip() { return *Ftip_; }
  ui::TFconfig& Fconfig() { return *Fconfig_; }

 private:
  std::unique_ptr<TFmain> Fmain_;
  std::unique_ptr<ui::TFabout> Fabout_;
  std::unique_ptr<ui::TFtip> Ftip_;
  std::unique_ptr<ui::TFconfig> Fconfig_;
  std::exception_ptr tipsFailure_;
};

}  // namespace vantelo::app
