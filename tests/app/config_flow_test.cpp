// A route edited in the configuration dialog reaches the relay only on
// Refresh: the whole program as the vantelo binary builds it, on Qt's
// offscreen platform, with the real dial-up monitor on the NetworkManager
// mock, two real SMTP servers (aiosmtpd) and a real SMTP client (swaks).
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "app/program.h"
#include "dialup/network_manager_source.h"
#include "routing/route_store.h"
#include "tests/testkit/modal_boxes.h"
#include "tests/testkit/widget_test_main.h"
#include "tests/testkit/nm_mock.h"
#include "tests/testkit/loopback_peers.h"
#include "tests/testkit/route_file.h"
#include "ui/config_dialog.h"

using namespace vantelo;
using testkit::ExecOnRouteFile;
using testkit::FreePort;
using testkit::NetworkManagerMock;

namespace {

// An aiosmtpd server that stores what it gets as a mailbox in `folder`.
class SmtpServer {
 public:
  explicit SmtpServer(const QString& folder) : folder_(folder), port_(FreePort()) {
    process_.start("/usr/bin/python3",
                   {"-m", "aiosmtpd", "-n", "-l", QStringLiteral("127.0.0.1:%1").arg(port_), "-c",
                    "aiosmtpd.handlers.Mailbox", folder_});
  }
  ~SmtpServer() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  int Port() const { return port_; }
  // Subjects of the mails it got.
  QStringList Subjects() const {
    QStringList subjects;
    for (const QFileInfo& mail : QDir(folder_ + "/new").entryInfoList(QDir::Files)) {
      QFile file(mail.filePath());
      if (!file.open(QIODevice::ReadOnly)) continue;
      for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("Subject: ")) subjects << QString::fromUtf8(line.mid(9)).trimmed();
      }
    }
    subjects.sort();
    return subjects;
  }

 private:
  QString folder_;
  int port_;
  QProcess process_;
};

bool Listening(int port) {
  QProcess probe;
  probe.start(
      "/usr/bin/python3",
      {"-c",
       QStringLiteral("import socket; socket.create_connection(('127.0.0.1', %1), 1)").arg(port)});
  return probe.waitForFinished(5000) && probe.exitCode() == 0;
}

int Send(int port, const QString& subject) {
  QProcess swaks;
  swaks.start("swaks", {"--silent", "2", "--server", "127.0.0.1", "--port", QString::number(port),
                        "--from", "me@example.test", "--to", "you@example.test", "--header",
                        "Subject: " + subject, "--timeout", "20"});
  if (!swaks.waitForFinished(60000)) return -1;
  return swaks.exitCode();
}

}  // namespace

class ConfigFlowTest : public QObject {
  Q_OBJECT

 private slots:
  void aSavedRouteCountsFromRefresh() {
    QTemporaryDir folder;
    QVERIFY(chdir(folder.path().toLocal8Bit().constData()) == 0);
    qputenv("XDG_CONFIG_HOME", (folder.path() + "/xdg").toLocal8Bit());
    SmtpServer a(folder.path() + "/mail-a");
    SmtpServer b(folder.path() + "/mail-b");
    routing::CreateRouteDatabase(".");
    std::ofstream("config/tip.cfg") << "tip\n#\n";
    ExecOnRouteFile("INSERT INTO smtp VALUES ('Work VPN','127.0.0.1','" + std::to_string(a.Port()) +
                    "')");
    const int listen = FreePort();
    std::ofstream("config/config.ini") << "[dial]\nsmtpport=" << listen << "\n";

    NetworkManagerMock nm;
    const QString device = nm.AddDevice("tun0", "tun0");
    const QString vpn = nm.AddProfile("Work VPN", "vpn");
    nm.Activate(device, vpn, "1", 2);
    std::vector<std::unique_ptr<dialup::TConnectionSource>> sources;
    sources.push_back(std::make_unique<dialup::TNetworkManagerSource>());
    app::TProgram program(std::make_unique<dialup::TDialUp>(std::move(sources)));
    program.Start();
    QTRY_VERIFY_WITH_TIMEOUT(program.Fmain().isVisible(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(Listening(listen), 10000);
    QCOMPARE(Send(listen, "before"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(a.Subjects(), QStringList{"before"}, 10000);

    // Through the dialog, as the user does it: Config, the entry's port to
    // server B, save, accept the message, close.
    testkit::ModalBoxes boxes;
    ui::TFconfig& dialog = program.Fconfig();
    QTimer::singleShot(200, [&] {
      QCOMPARE(dialog.ComboBox1->currentText(), QString("Work VPN"));
      dialog.Edit1->setText(QString::number(b.Port()));
      QTest::mouseClick(dialog.SpeedButton2, Qt::LeftButton);
      QTest::mouseClick(dialog.SpeedButton3, Qt::LeftButton);
    });
    program.Fmain().SpeedButton4Click();
    QCOMPARE(boxes.Texts(),
             QStringList{"The setting will be activated after you click refresh button"});
    QTRY_VERIFY_WITH_TIMEOUT(!program.Fmain().ConfigNotice()->isHidden(), 3000);

    // Saved, not in force: mail still goes to A.
    QCOMPARE(Send(listen, "after save"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(a.Subjects(), (QStringList{"after save", "before"}), 10000);

    program.Fmain().SpeedButton2Click();  // Refresh
    QTRY_VERIFY_WITH_TIMEOUT(program.Fmain().ConfigNotice()->isHidden(), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(Listening(listen), 10000);
    QCOMPARE(Send(listen, "after refresh"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(b.Subjects(), QStringList{"after refresh"}, 10000);
    QCOMPARE(a.Subjects(), (QStringList{"after save", "before"}));
    (void)chdir("/");
  }
};

int main(int argc, char** argv) {
  // The private bus comes before anything opens the system bus.
  vantelo::testkit::NetworkManagerMock::StartBus();
  const int result = vantelo::testkit::RunWidgetTest<ConfigFlowTest>(argc, argv);
  vantelo::testkit::NetworkManagerMock::StopBus();
  return result;
}

#include "config_flow_test.moc"
