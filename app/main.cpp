// Vantelo: relays the local SMTP port to the mail server of the connection
// that is up. Started in its working folder, which holds config/ and the help.
#include "app/application.h"
#include "app/logging.h"
#include "app/program.h"
#include "app/stop_signals.h"
#include "relay/descriptor_limit.h"

int main(int argc, char** argv) {
  vantelo::app::RequireDesktopSession();
  vantelo::app::TApplication application(argc, argv);
  vantelo::app::ConnectLogs();
  // Two descriptors per relayed connection: allow as many as the system does.
  vantelo::relay::RaiseDescriptorLimit();
  vantelo::app::TProgram program;  // every window, none shown yet
  // A logout, `systemctl --user stop` or Ctrl+C ends it as Exit does.
  vantelo::app::TStopSignals stopSignals([&program] { program.Fmain().close(); });
  program.Start();
  return application.exec();
}
