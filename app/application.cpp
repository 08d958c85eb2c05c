#include "app/application.h"

#include "ui/error_box.h"
#include "ui/help_router.h"

namespace vantelo::app {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Vantelo"));
  setDesktopFileName(QStringLiteral("vantelo"));
  ui::TApplicationHelp::HelpFile = QStringLiteral("qovin help\\qovin.chm");
  // The main window starts hidden and message boxes come and go; only closing
  // the main window ends the program.
  setQuitOnLastWindowClosed(false);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  ui::WithErrorBox([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

}  // namespace vantelo::app
