// Vantelo: relays the local SMTP port to the mail server of the connection
// that is up. Started in its working folder, which holds config/ and the help.
#include <cstdio>
#include <cstring>

#include "app/application.h"
#include "logging/log_output.h"
#include "app/program.h"
#include "app/stop_signals.h"
#include "relay/server/descriptor_limit.h"
#include "ui/tray_icon.h"

namespace {

const char* const kHelp =
    "usage: vantelo [--help | --version]\n"
    "\n"
    "Relays the mail that programs on this computer send to its local SMTP port\n"
    "to the SMTP server of the network connection that is up (a VPN, a mobile or\n"
    "dial-up line), or to the default server. It reads config/ and the help from\n"
    "the folder it is started in; vantelo-start prepares ~/.local/share/vantelo\n"
    "and starts it there.\n"
    "\n"
    "Without a display, start it with QT_QPA_PLATFORM=offscreen: the relay\n"
    "serves without windows. SIGHUP reads config/config.ini and the routes again,\n"
    "as Refresh does; SIGTERM and SIGINT end it, as Exit does.\n";

// --help and --version answer without a display and start nothing.
bool AnsweredOption(int argc, char** argv, int& status) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
  } else if (std::strcmp(argv[1], "--version") == 0) {
    std::puts("vantelo " VANTELO_VERSION);
  } else {
    return false;
  }
  status = 0;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (int status; AnsweredOption(argc, argv, status)) return status;
  vantelo::app::RequireDesktopSession();
  vantelo::app::TApplication application(argc, argv);
  vantelo::logging::ConnectLogs();
  // Two descriptors per relayed connection: allow as many as the system does.
  vantelo::relay::RaiseDescriptorLimit();
  const bool windowless = vantelo::app::RunsWithoutDisplay();
  vantelo::ui::TTrayIcon::Windowless = windowless;
  vantelo::app::TProgram program;  // every window, none shown yet
  program.Fmain().Controller().Windowless = windowless;
  // A logout, `systemctl --user stop` or Ctrl+C ends it as Exit does; SIGHUP
  // applies an edited config.ini as Refresh does.
  vantelo::app::TStopSignals handledSignals([&program] { program.Fmain().close(); },
                                            [&program] { program.Fmain().SpeedButton2Click(); });
  program.Start();
  return application.exec();
}
