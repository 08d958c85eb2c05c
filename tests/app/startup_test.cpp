// The program's start on Qt's offscreen platform: its windows in order, the
// deferred start a second after the loop runs, the minimised start with and
// without a notification area, and the tray icon's minimise and restore.
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "app/instance_lock.h"
#include "app/program.h"
#include "tests/testkit/program_log_capture.h"
#include "tests/testkit/modal_boxes.h"
#include "tests/testkit/widget_test_main.h"
#include "tests/testkit/temp_folder_scope.h"
#include "ui/tray_icon.h"
#include "ui/about_window.h"
#include "ui/config_dialog.h"
#include "ui/tip_window.h"

using namespace vantelo;

namespace {

std::unique_ptr<app::TProgram> MakeProgram() {
  return std::make_unique<app::TProgram>(
      std::make_unique<dialup::TDialUp>(std::vector<std::unique_ptr<dialup::TConnectionSource>>{}));
}

void Settings(const std::string& general) {
  std::ofstream("config/config.ini") << "[dial]\nsmtpport=2525\n[general]\n" << general;
}

template <class T>
bool Exists() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (qobject_cast<T*>(w)) return true;
  }
  return false;
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    folder_ = std::make_unique<vantelo::testkit::TempFolderScope>();
    qputenv("XDG_CONFIG_HOME", (folder_->path() + "/xdg").toLocal8Bit());
    std::filesystem::create_directories("config");
    std::filesystem::create_directories("xdg");
    std::ofstream("config/tip.cfg") << "first\n#\nsecond\n#\n";
    ui::TTrayIcon::TrayAvailable = [this] { return trayAvailable_; };
    ui::TTrayIcon::OnStatusNotifierPanel = [this] { return statusNotifierPanel_; };
    trayAvailable_ = true;
    statusNotifierPanel_ = false;
  }
  void cleanup() { folder_.reset(); }

  void windowsComeInTheirOrderAndNoneIsShown() {
    std::filesystem::remove("config/tip.cfg");
    testkit::ModalBoxes boxes;
    auto program = MakeProgram();
    // The tips were read as the tip window was made; their error waits for
    // the loop, so nothing holds up the start.
    QVERIFY(boxes.shown.isEmpty());
    QVERIFY(program->Ftip().Tips().empty());
    QCOMPARE(program->Fconfig().parentWidget(), &program->Fmain());
    for (QWidget* w : QApplication::topLevelWidgets())
      QVERIFY2(!w->isVisible(), qPrintable(w->windowTitle()));

    // The box comes as the loop runs, and the tick goes on while it is open:
    // the route is applied whatever the user does with the box.
    std::string activeWhileOpen;
    boxes.whileOpen = [&](QMessageBox*) {
      (void)QTest::qWaitFor([&] { return !program->Fmain().Controller().ActiveEntry.empty(); },
                            3000);
      activeWhileOpen = program->Fmain().Controller().ActiveEntry;
    };
    program->Start();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 3000);
    QCOMPARE(boxes.Texts(), QStringList{"Cannot open file config\\tip.cfg."});
    QCOMPARE(activeWhileOpen, std::string("--"));
  }

  void theDeferredStartShowsTheWindowAndRunsOnce() {
    Settings("startminimized=0\ntipoftheday=0\n");
    auto program = MakeProgram();
    program->Start();
    QVERIFY(!program->Fmain().isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(program->Fmain().isVisible(), 3000);
    QCOMPARE(program->Fconfig().Edit3->text(), QString("2525"));  // settings loaded
    QVERIFY(!program->Ftip().isVisible());
    // It does not come back: a changed file is not read again by it.
    Settings("startminimized=0\n");
    std::ofstream("config/config.ini") << "[dial]\nsmtpport=2600\n";
    QTest::qWait(1500);
    QCOMPARE(program->Fconfig().Edit3->text(), QString("2525"));
  }

  void aMinimisedStartShowsOnlyTheIcon() {
    for (const char* value : {"1", "yes", ""}) {
      Settings(std::string("startminimized=") + value + "\ntipoftheday=1\n");
      auto program = MakeProgram();
      program->Start();
      QTRY_VERIFY_WITH_TIMEOUT(program->Ftip().isVisible(), 3000);  // tips asked for
      QVERIFY2(!program->Fmain().isVisible(), value);
      // "restore" in the tray menu brings it back.
      program->Fmain().Tray()->PopupMenu()->actions()[1]->trigger();
      QVERIFY(program->Fmain().isVisible());
      QVERIFY(!program->Fmain().isMinimized());
    }
  }

  void tipsShowOnlyForOne() {
    for (const char* value : {"0", "true", "01"}) {
      Settings(std::string("startminimized=0\ntipoftheday=") + value + "\n");
      auto program = MakeProgram();
      program->Start();
      QTRY_VERIFY_WITH_TIMEOUT(program->Fmain().isVisible(), 3000);
      QTest::qWait(50);
      QVERIFY2(!program->Ftip().isVisible(), value);
    }
  }

  void anErrorInTheDeferredStartGivesOneBox() {
    Settings("startminimized=0\n");
    // An autostart entry that is not a program's entry: reading it fails.
    std::filesystem::create_directories("xdg/autostart");
    std::ofstream("xdg/autostart/qovin.desktop") << "[Desktop Entry]\nType=Link\nURL=x\n";
    testkit::ModalBoxes boxes;
    auto program = MakeProgram();
    program->Start();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 3000);
    QTest::qWait(1500);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].title, QString("Vantelo"));
    QCOMPARE(boxes.shown[0].icon, QMessageBox::Critical);
    QCOMPARE(program->Fconfig().Edit3->text(), QString("2525"));  // read before the failure
  }

  void minimisingHidesTheWindowInTheTrayAndADoubleClickRestoresIt() {
    auto program = MakeProgram();
    app::TFmain& main = program->Fmain();
    ui::TTrayIcon* tray = main.Tray();
    QCOMPARE(tray->ShownTip(), QString("Relaymark"));
    QVERIFY(tray->IconVisible());
    QStringList captions;
    for (QAction* a : tray->PopupMenu()->actions()) captions << a->text();
    QCOMPARE(captions, (QStringList{"go to homepage", "restore", "exit"}));

    main.show();
    main.showMinimized();
    QTRY_VERIFY(!main.isVisible());
    QVERIFY(tray->IconVisible());

    int clicks = 0;
    tray->OnClick = [&] { ++clicks; };
    emit tray->PlatformIcon()->activated(QSystemTrayIcon::Trigger);
    emit tray->PlatformIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(main.isVisible());
    QVERIFY(!main.isMinimized());
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    QCOMPARE(clicks, 0);  // the double click's first click is no click
    emit tray->PlatformIcon()->activated(QSystemTrayIcon::Trigger);
    QTRY_COMPARE(clicks, 1);

    // Panels that speak to the icon over D-Bus report a double click as two
    // clicks; others report click, double click, click. One double click each.
    int doubleClicks = 0;
    tray->OnDblClick = [&] { ++doubleClicks; };
    for (auto sequence :
         {std::vector<QSystemTrayIcon::ActivationReason>{QSystemTrayIcon::Trigger,
                                                         QSystemTrayIcon::Trigger},
          std::vector<QSystemTrayIcon::ActivationReason>{
              QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Trigger}}) {
      for (auto reason : sequence) emit tray->PlatformIcon()->activated(reason);
      QTest::qWait(QApplication::doubleClickInterval() + 100);
    }
    QCOMPARE(doubleClicks, 2);
    QCOMPARE(clicks, 1);
    tray->OnDblClick = [&main] { main.Tray()->RestoreMainForm(); };

    // Restoring a window that is shown changes nothing.
    const QRect where = main.geometry();
    tray->RestoreMainForm();
    QVERIFY(main.isVisible());
    QCOMPARE(main.geometry(), where);

    // On a StatusNotifierItem panel one click (its Activate) is enough, at
    // once; elsewhere a lone click leaves the window where it is.
    for (bool statusNotifier : {false, true}) {
      statusNotifierPanel_ = statusNotifier;
      main.hide();
      emit tray->PlatformIcon()->activated(QSystemTrayIcon::Trigger);
      QCOMPARE(main.isVisible(), statusNotifier);
      QTest::qWait(QApplication::doubleClickInterval() + 100);
    }
    statusNotifierPanel_ = false;

    // While disabled, the icon does nothing.
    main.hide();
    tray->SetEnabled(false);
    emit tray->PlatformIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(!main.isVisible());
  }

  void withoutANotificationAreaTheWindowStaysReachable() {
    trayAvailable_ = false;
    Settings("startminimized=1\n");
    auto program = MakeProgram();
    app::TFmain& main = program->Fmain();
    program->Start();
    QTRY_VERIFY_WITH_TIMEOUT(main.isVisible(), 3000);
    QVERIFY(main.isMinimized());  // in the task bar
    main.showNormal();
    main.showMinimized();
    QTest::qWait(100);
    QVERIFY(main.isVisible());  // not hidden where nobody could find it
  }

  void anErrorInTheStartStillLeavesAWayToTheWindowWithoutATray() {
    trayAvailable_ = false;
    Settings("startminimized=0\n");
    std::filesystem::create_directories("xdg/autostart");
    std::ofstream("xdg/autostart/qovin.desktop") << "[Desktop Entry]\nType=Link\nURL=x\n";
    testkit::ModalBoxes boxes;
    auto program = MakeProgram();
    program->Start();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 3000);
    QTRY_VERIFY(program->Fmain().isVisible());
    QVERIFY(!program->Fmain().isMinimized());
  }

  void theTipIsCutTo127Characters() {
    auto program = MakeProgram();
    ui::TTrayIcon* tray = program->Fmain().Tray();
    tray->SetHint(QString(200, u'x'));
    QCOMPARE(tray->ShownTip(), QString(127, u'x'));
    QCOMPARE(tray->PlatformIcon()->toolTip(), QString(127, u'x'));
    tray->SetShowHint(false);
    QCOMPARE(tray->PlatformIcon()->toolTip(), QString());
  }

  void everyWayOutClosesTheMainWindow() {
    for (int way = 0; way < 3; ++way) {
      auto program = MakeProgram();
      app::TFmain& main = program->Fmain();
      main.show();
      bool quit = false;
      QMetaObject::Connection c =
          connect(qApp, &QCoreApplication::aboutToQuit, this, [&] { quit = true; });
      QTimer::singleShot(0, [&] {
        if (way == 0) main.SpeedButton3Click();
        if (way == 1) main.exit1Click();
        if (way == 2) main.Tray()->PopupMenu()->actions()[2]->trigger();
      });
      QTimer::singleShot(2000, [] { QCoreApplication::exit(9); });
      QCOMPARE(QCoreApplication::exec(), 0);
      QVERIFY(!main.isVisible());
      disconnect(c);
      (void)quit;
    }
  }

  // The lock never stops the start, but a lock not had is no longer silent.
  void aLockThatCannotBeHadSaysWhy() {
    testkit::ProgramLogCapture log;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", (folder_->path() + "/runtime").toLocal8Bit());
    std::filesystem::create_directories("runtime");
    {
      app::TInstanceLock first;
      QVERIFY(log.Take().empty());
      app::TInstanceLock second;  // another open file: refused like another copy's
      QCOMPARE(log.Take(),
               (std::vector<std::string>{"vantelo.app: another Vantelo holds the lock " +
                                         folder_->path().toStdString() +
                                         "/runtime/qovin.lock; this one runs as well"}));
    }
    std::filesystem::remove_all("runtime");
    app::TInstanceLock without;
    QCOMPARE(log.Take(), (std::vector<std::string>{
                             "vantelo.app: cannot open the lock " + folder_->path().toStdString() +
                             "/runtime/qovin.lock: No such file or directory; Vantelo runs "
                             "without it"}));
    qputenv("XDG_RUNTIME_DIR", runtime);
  }

 private:
  std::unique_ptr<vantelo::testkit::TempFolderScope> folder_;
  bool trayAvailable_ = true;
  bool statusNotifierPanel_ = false;
};

int main(int argc, char** argv) { return vantelo::testkit::RunWidgetTest<StartupTest>(argc, argv); }

#include "startup_test.moc"
