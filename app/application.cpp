#include "app/application.h"

#include "ui/error_box.h"

namespace vantelo::app {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Vantelo"));
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
