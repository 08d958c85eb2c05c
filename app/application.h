// The application object: the title "Vantelo", and the default error handler
// for anything a handler let through, which Qt would otherwise not survive.
#pragma once

#include <QApplication>

namespace vantelo::app {

// Without a desktop session Qt would abort with "could not connect to
// display". Call before the application object exists: where no display can
// be had, it says what Vantelo needs and ends the process with status 1.
void RequireDesktopSession();

// True once the application object runs on a platform without windows (Qt's
// offscreen or minimal platform, as ./run.sh starts it where there is no
// display): the relay serves, and nobody can see a window, an icon or a button.
bool RunsWithoutDisplay();

class TApplication : public QApplication {
 public:
  // Ends the watch that RequireDesktopSession started, once Qt has its display.
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vantelo::app
