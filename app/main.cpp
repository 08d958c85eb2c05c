// Vantelo: relays the local SMTP port to the mail server of the connection
// that is up. Started in its working folder, which holds config/.
#include "app/application.h"
#include "app/logging.h"
#include "app/umain.h"

int main(int argc, char** argv) {
  vantelo::app::TApplication application(argc, argv);
  vantelo::app::ConnectLogs();
  vantelo::app::TFmain mainWindow;  // hidden until the deferred start shows it
  return application.exec();
}
