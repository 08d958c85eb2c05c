// Vantelo: relays the local SMTP port to the mail server of the connection
// that is up. Started in its working folder, which holds config/ and the help.
#include "app/application.h"
#include "app/logging.h"
#include "app/program.h"
#include "app/stop_signals.h"

int main(int argc, char** argv) {
  vantelo::app::TApplication application(argc, argv);
  vantelo::app::ConnectLogs();
  vantelo::app::TProgram program;  // every window, none shown yet
  // A logout, `systemctl --user stop` or Ctrl+C ends it as Exit does.
  vantelo::app::TStopSignals stopSignals([&program] { program.Fmain().close(); });
  program.Start();
  return application.exec();
}
