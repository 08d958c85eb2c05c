#include "app/program.h"

#include <QTimer>
#include <utility>

#include "logging/log_categories.h"
#include "dialup/dial_up.h"
#include "ui/error_box.h"
#include "ui/about_window.h"
#include "ui/config_dialog.h"
#include "ui/tip_window.h"

namespace vantelo::app {

TProgram::TProgram(std::unique_ptr<dialup::TDialUp> dialUp)
    : Fmain_(std::make_unique<TFmain>(std::move(dialUp))),
      Fabout_(std::make_unique<ui::TFabout>()),
      Ftip_(std::make_unique<ui::TFtip>()) {
  // The tip window reads its tips as it is created. A failure there is shown
  // only once the loop runs: a box opened now would hold up the tick, and
  // with it the relay, until someone pressed OK.
  try {
    Ftip_->FormCreate();
  } catch (...) {
    tipsFailure_ = std::current_exception();
  }
  Fconfig_ = std::make_unique<ui::TFconfig>(Fmain_->ConfigLinks(), Ftip_->CheckBox1, Fmain_.get());
  Ftip_->savecfg = [this] { Fconfig_->savecfg(); };
  Fmain_->SetWindows(Fabout_.get(), Ftip_.get(), Fconfig_.get());
}

TProgram::~TProgram() {
  // The windows go in the reverse order of their creation.
  Fconfig_.reset();
  Ftip_.reset();
  Fabout_.reset();
  Fmain_.reset();
}

void TProgram::Start() {
  Fmain_->StartTimers();
  if (!tipsFailure_) return;
  QTimer::singleShot(0, Fmain_.get(), [failure = std::exchange(tipsFailure_, nullptr)] {
    ui::WithErrorBox([&] { std::rethrow_exception(failure); });
  });
}

}  // namespace vantelo::app
