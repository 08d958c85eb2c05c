// Vantelo: relays the local SMTP port to the mail server of the connection
// that is up. Started in its working folder, which holds config/.
#include "app/application.h"
#include "app/umain.h"
#include "ui/uconfig.h"

int main(int argc, char** argv) {
  vantelo::app::TApplication application(argc, argv);
  vantelo::app::TFmain mainWindow;  // hidden until the deferred start shows it
  vantelo::ui::TFconfig configDialog(mainWindow.ConfigLinks(), nullptr, &mainWindow);
  mainWindow.SetConfigDialog(&configDialog);
  return application.exec();
}
