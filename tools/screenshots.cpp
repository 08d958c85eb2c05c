// vantelo-screenshots FOLDER: draws each window of the program as it looks on
// this desktop (main window with three entries and one active, configuration
// dialog, tray menu, tip window, about window, the window that asks for a
// password) into FOLDER/*.png. Run it in a prepared working folder under a
// display (scripts/screenshots.sh does both).
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/application.h"
#include "app/program.h"
#include "ui/tray_icon.h"
#include "ui/about_window.h"
#include "ui/config_dialog.h"
#include "ui/login_window.h"
#include "ui/tip_window.h"

namespace {

bool Save(QWidget* window, const QString& folder, const char* name) {
  QApplication::processEvents();
  const QString path = folder + u'/' + QLatin1String(name) + ".png";
  const bool saved = window->grab().save(path);
  std::fprintf(saved ? stdout : stderr, "%s %s\n", saved ? "wrote" : "cannot write",
               qPrintable(path));
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  vantelo::app::TApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantelo-screenshots FOLDER\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  vantelo::app::TProgram program;
  auto& main = program.Fmain();
  bool ok = true;
  QTimer::singleShot(0, [&] {
    main.Controller().EntryList = {"Work VPN", "Mobile broadband", "Home DSL"};
    main.Controller().ActiveEntry = "Work VPN";
    main.updatesmtp();
    main.show();
    main.Controller().ConfigChanged = 1;
    main.Timer3Timer();
    main.Controller().ActiveEntry = "Work VPN";
    main.updatesmtp();
    ok &= Save(&main, folder, "main-window");

    program.Fconfig().loadcfg();
    program.Fconfig().show();
    program.Fconfig().ComboBox1->addItems({"Work VPN", "Mobile broadband", "Home DSL"});
    program.Fconfig().showsmtp();
    ok &= Save(&program.Fconfig(), folder, "configuration");
    program.Fconfig().hide();

    QMenu* menu = main.Tray()->PopupMenu();
    menu->popup(main.geometry().center());
    ok &= Save(menu, folder, "tray-menu");
    menu->hide();

    program.Ftip().ShowTip();
    ok &= Save(&program.Ftip(), folder, "tip");
    program.Ftip().hide();

    program.Fabout().ShowAbout();
    ok &= Save(&program.Fabout(), folder, "about");
    program.Fabout().hide();

    vantelo::ui::TFlogin login(QStringLiteral("Work VPN"), QStringLiteral("smtp.work.example:587"),
                               QStringLiteral("alice@work.example"));
    login.setAttribute(Qt::WA_DeleteOnClose, false);
    login.ShowLogin();
    login.Password->setText(QStringLiteral("password"));
    ok &= Save(&login, folder, "login");
    QApplication::exit(ok ? 0 : 1);
  });
  return application.exec();
}
