// The application object: the title "Vantelo", and the default error handler
// for anything a handler let through, which Qt would otherwise not survive.
#pragma once

#include <QApplication>

namespace vantelo::app {

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace vantelo::app
