// The application object: the title "Vantelo", and the default error handler
// for anything a handler let through, which Qt would otherwise not survive.
#pragma once

#include <QApplication>

namespace vantelo::app {

// Without a desktop session Qt would abort with "could not connect to
// display". Call before the application object exists: where no display can
// be had, it says what Vantelo needs and ends the process with status 1.
void RequireDesktopSession();

class TApplication : public QApplication {
 public:
  // Ends the watch that RequireDesktopSession started, once Qt has its display.
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vantelo::app
