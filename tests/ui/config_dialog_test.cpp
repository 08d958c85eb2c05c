// The configuration dialog on Qt's offscreen platform, with the main window,
// a real route file and settings file in a temporary working folder, and the
// real dial-up monitor on the NetworkManager mock.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/main_window.h"
#include "dialup/network_manager_source.h"
#include "routing/route_store.h"
#include "tests/testkit/modal_boxes.h"
#include "tests/testkit/widget_test_main.h"
#include "tests/testkit/nm_mock.h"
#include "tests/testkit/route_file.h"
#include "tests/testkit/tree_rows.h"
#include "tests/testkit/temp_folder_scope.h"
#include "ui/config_dialog.h"

using vantelo::app::TFmain;
using vantelo::testkit::ExecOnRouteFile;
using vantelo::testkit::ModalBoxes;
using vantelo::testkit::NetworkManagerMock;
using vantelo::testkit::TreeRows;
using vantelo::ui::TFconfig;

namespace {

const char* const kSaved = "The setting will be activated after you click refresh button";

// Every row of the route table as "entry|server|port", in insertion order.
QStringList Table() {
  QStringList rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2("config/log.mdb", &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return rows;
  sqlite3_exec(
      db, "SELECT entry, server, port FROM smtp ORDER BY rowid",
      [](void* out, int, char** values, char**) {
        QStringList cells;
        for (int i = 0; i < 3; ++i) cells << QString::fromUtf8(values[i] ? values[i] : "NULL");
        static_cast<QStringList*>(out)->append(cells.join('|'));
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

std::string FileText(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The widgets that take the keyboard, in the order Tab visits them, starting
// at `first` (the chain is a ring).
QList<QWidget*> FocusChain(QWidget* window, QWidget* first) {
  QList<QWidget*> chain;
  QWidget* w = first;
  do {
    if (w != window && w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
      chain << w;
    }
    w = w->nextInFocusChain();
  } while (w != first && chain.size() < 50);
  return chain;
}

// Captions that do not fit the widget that shows them.
QStringList CutCaptions(QWidget* window) {
  QStringList cut;
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (label->text().isEmpty() || label->wordWrap()) continue;
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->indent();
    if (needed > label->contentsRect().width()) cut << label->text();
  }
  for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
    if (button->text().isEmpty()) continue;
    if (button->sizeHint().width() > button->width()) cut << button->text();
  }
  for (QGroupBox* box : window->findChildren<QGroupBox*>()) {
    if (box->fontMetrics().horizontalAdvance(box->title()) > box->width()) cut << box->title();
  }
  return cut;
}

}  // namespace

class ConfigDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    folder_ = std::make_unique<vantelo::testkit::TempFolderScope>();
    qputenv("XDG_CONFIG_HOME", (folder_->path() + "/xdg").toLocal8Bit());
    QDir().mkpath("xdg");
    nm_ = std::make_unique<NetworkManagerMock>();
    nm_->AddDevice("ppp0", "ppp0");
    nm_->AddProfile("Work VPN", "vpn");
    nm_->AddProfile("Hotel", "vpn");
    nm_->AddProfile("Mobile", "gsm");
    vantelo::routing::CreateRouteDatabase(".");
    ExecOnRouteFile(
        "INSERT INTO smtp VALUES ('Work VPN','smtp.work.example','587'),"
        "('Mobile','mail.carrier.example','')");
    std::vector<std::unique_ptr<vantelo::dialup::TConnectionSource>> sources;
    sources.push_back(std::make_unique<vantelo::dialup::TNetworkManagerSource>());
    window_ =
        std::make_unique<TFmain>(std::make_unique<vantelo::dialup::TDialUp>(std::move(sources)));
    dialog_ = std::make_unique<TFconfig>(window_->ConfigLinks(), nullptr, window_.get());
    window_->SetWindows(nullptr, nullptr, dialog_.get());
  }
  void cleanup() {
    dialog_.reset();
    window_.reset();
    nm_.reset();
    folder_.reset();
  }

  void captionsAreExactBlanksIncluded() {
    QCOMPARE(dialog_->windowTitle(), QString("Configuration"));
    QCOMPARE(dialog_->GroupBox1->title(), QString(" SMTP server setting  "));
    QCOMPARE(dialog_->GroupBox2->title(), QString("Default SMTP server"));
    QStringList labels;
    for (QLabel* label : dialog_->findChildren<QLabel*>()) labels << label->text();
    QCOMPARE(labels,
             (QStringList{"entry name :", "SMTP server :", "port :", "SMTP server :", "port :",
                          "* Use this setting to route your  mail to a  spesific SMTP server  ",
                          "when no dial-up entry is online  ( eg : your LAN SMTP server)",
                          "Incoming SMTP port :", "default: 25"}));
    QCOMPARE(dialog_->SpeedButton1->text(), QString("reload entry"));
    QCOMPARE(dialog_->SpeedButton2->text(), QString("save "));
    QCOMPARE(dialog_->SpeedButton3->text(), QString("close"));
    QCOMPARE(dialog_->CheckBox1->text(), QString("Start with windows"));
    QCOMPARE(dialog_->CheckBox2->text(), QString("minimized on startup"));
    QVERIFY(!dialog_->ComboBox1->isEditable());
    QVERIFY(dialog_->windowFlags() & Qt::Tool);
    dialog_->show();
    QCOMPARE(dialog_->minimumSize(), dialog_->maximumSize());  // not resizable
  }

  void tabVisitsTheFieldsInTheirOrderAndSkipsTheSpeedButtons() {
    window_->show();
    QTimer::singleShot(100, [this] {
      firstFocus_ = QApplication::focusWidget();
      dialog_->close();
    });
    dialog_->exec();
    QCOMPARE(firstFocus_, static_cast<QWidget*>(dialog_->CheckBox1));  // where the order starts
    dialog_->show();
    QCOMPARE(
        FocusChain(dialog_.get(), dialog_->CheckBox1),
        (QList<QWidget*>{dialog_->CheckBox1, dialog_->Edit1, dialog_->ComboBox1, dialog_->Edit2,
                         dialog_->CheckBox2, dialog_->Edit3, dialog_->Edit4, dialog_->Edit5}));
    for (QToolButton* b : {dialog_->SpeedButton1, dialog_->SpeedButton2, dialog_->SpeedButton3}) {
      QCOMPARE(b->focusPolicy(), Qt::NoFocus);
    }
    // Enter in a field presses nothing: there is no default button to save.
    ModalBoxes boxes;
    dialog_->Edit2->setFocus();
    QTest::keyClick(dialog_->Edit2, Qt::Key_Return);
    QTest::qWait(100);
    QVERIFY(boxes.shown.isEmpty());
    QVERIFY(dialog_->Edit2->maxLength() > 100000);  // no length limit
  }

  void showingSelectsTheFirstEntryAndShowsItsRoute() {
    dialog_->show();
    QCOMPARE(dialog_->ComboBox1->count(), 3);
    QCOMPARE(dialog_->ComboBox1->currentText(), QString("Work VPN"));
    QCOMPARE(dialog_->Edit2->text(), QString("smtp.work.example"));
    QCOMPARE(dialog_->Edit1->text(), QString("587"));
    QCOMPARE(window_->Controller().EntryList,
             (std::vector<std::string>{"Work VPN", "Hotel", "Mobile"}));

    // The user picks an entry without a route: an empty server and port "0".
    dialog_->ComboBox1->setFocus();
    QTest::keyClick(dialog_->ComboBox1, Qt::Key_Down);
    QCOMPARE(dialog_->ComboBox1->currentText(), QString("Hotel"));
    QCOMPARE(dialog_->Edit2->text(), QString());
    QCOMPARE(dialog_->Edit1->text(), QString("0"));
    // A stored empty port shows as "0" too.
    QTest::keyClick(dialog_->ComboBox1, Qt::Key_Down);
    QCOMPARE(dialog_->Edit2->text(), QString("mail.carrier.example"));
    QCOMPARE(dialog_->Edit1->text(), QString("0"));

    // Selecting from code is not a pick: the fields stay.
    dialog_->Edit2->setText("typed");
    dialog_->ComboBox1->setCurrentIndex(0);
    QCOMPARE(dialog_->Edit2->text(), QString("typed"));

    // reload entry: entries listed anew, the first selected, its route shown.
    nm_->AddProfile("Client VPN", "vpn");
    QTest::mouseClick(dialog_->SpeedButton1, Qt::LeftButton);
    QCOMPARE(dialog_->ComboBox1->count(), 4);
    QCOMPARE(dialog_->ComboBox1->currentText(), QString("Work VPN"));
    QCOMPARE(dialog_->Edit2->text(), QString("smtp.work.example"));
  }

  void aFailingLookupKeepsTheFields() {
    // A route table that the engine cannot read for one entry only.
    ExecOnRouteFile("DROP TABLE smtp");
    ExecOnRouteFile("CREATE TABLE routes (entry TEXT, server TEXT, port TEXT)");
    ExecOnRouteFile(
        "CREATE VIEW smtp AS SELECT entry, server, CASE WHEN entry = 'Hotel' "
        "THEN abs(-9223372036854775808) ELSE port END AS port FROM routes");
    ExecOnRouteFile(
        "INSERT INTO routes VALUES ('Work VPN','smtp.work.example','587'),('Hotel','x','1')");
    dialog_->show();
    QCOMPARE(dialog_->Edit2->text(), QString("smtp.work.example"));
    dialog_->ComboBox1->setFocus();
    QTest::keyClick(dialog_->ComboBox1, Qt::Key_Down);
    QCOMPARE(dialog_->ComboBox1->currentText(), QString("Hotel"));
    QCOMPARE(dialog_->Edit2->text(), QString("smtp.work.example"));
    QCOMPARE(dialog_->Edit1->text(), QString("587"));
  }

  void saveInsertsThenUpdatesOneRowPerEntry() {
    ModalBoxes boxes;
    dialog_->show();
    dialog_->ComboBox1->setFocus();
    QTest::keyClick(dialog_->ComboBox1, Qt::Key_Down);  // Hotel: no route yet
    dialog_->Edit2->setText(" mail.hotel.example ");
    dialog_->Edit1->setText("2525 ");
    QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
    QCOMPARE(Table(), (QStringList{"Work VPN|smtp.work.example|587", "Mobile|mail.carrier.example|",
                                   "Hotel| mail.hotel.example |2525 "}));
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].title, QString("Vantelo"));
    QCOMPARE(boxes.shown[0].text, QString(kSaved));
    QCOMPARE(boxes.shown[0].icon, QMessageBox::NoIcon);
    QCOMPARE(window_->Controller().ConfigChanged, 1);

    dialog_->Edit2->setText("other.hotel.example");
    QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
    QCOMPARE(Table().last(), QString("Hotel|other.hotel.example|2525 "));
    QCOMPARE(Table().size(), 3);
    QCOMPARE(boxes.Texts(), (QStringList{kSaved, kSaved}));
  }

  void saveWritesAndReadsBackTheSettings() {
    ModalBoxes boxes;
    dialog_->show();
    dialog_->Edit3->setText(" 2525 ");
    dialog_->Edit4->setText("\tlan.example ");
    dialog_->Edit5->setText("25");
    dialog_->CheckBox2->setChecked(true);
    dialog_->CheckBox1->setChecked(true);
    QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
    QCOMPARE(FileText("config/config.ini"),
             std::string("[dial]\nsmtpport=2525\n[default]\nsmtpserver=lan.example\nsmtpport=25\n"
                         "[general]\nstartminimized=1\ntipoftheday=0\n"));
    // Read back: the fields show the values as stored.
    QCOMPARE(dialog_->Edit3->text(), QString("2525"));
    QCOMPARE(dialog_->Edit4->text(), QString("lan.example"));
    QVERIFY(dialog_->CheckBox1->isChecked());
    QVERIFY(std::filesystem::exists("xdg/autostart/qovin.desktop"));
    dialog_->CheckBox1->setChecked(false);
    QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
    QVERIFY(!std::filesystem::exists("xdg/autostart/qovin.desktop"));
    QVERIFY(!dialog_->CheckBox1->isChecked());
  }

  void aMissingRouteFileIsReportedAndTheSettingsAreStillSaved() {
    std::filesystem::remove("config/log.mdb");
    ModalBoxes boxes;
    dialog_->show();
    dialog_->Edit3->setText("2526");
    QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].icon, QMessageBox::Critical);
    QCOMPARE(boxes.shown[0].title, QString("Vantelo"));
    QCOMPARE(boxes.shown[0].format, Qt::PlainText);  // an entry's name is never markup
    QVERIFY2(boxes.shown[0].text.startsWith("The route for \"Work VPN\" was not saved: "),
             qPrintable(boxes.shown[0].text));
    QVERIFY(!boxes.Texts().contains(kSaved));
    QVERIFY(FileText("config/config.ini").find("smtpport=2526") != std::string::npos);
    QCOMPARE(window_->Controller().ConfigChanged, 1);
    QVERIFY(!std::filesystem::exists("config/log.mdb"));  // never created
  }

  void anUnwritableSettingsFileStopsTheSaveAfterTheRoute() {
    std::ofstream("config/config.ini") << "[dial]\nsmtpport=25\n";
    chmod("config/config.ini", 0444);
    ModalBoxes boxes;
    dialog_->show();
    dialog_->Edit3->setText(" 2527 ");
    QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
    QCOMPARE(boxes.Texts(), (QStringList{kSaved, "Unable to write to config\\config.ini."}));
    QCOMPARE(boxes.shown[1].icon, QMessageBox::Critical);
    // Neither read back nor marked as changed.
    QCOMPARE(dialog_->Edit3->text(), QString(" 2527 "));
    QCOMPARE(window_->Controller().ConfigChanged, 0);
    QCOMPARE(FileText("config/config.ini"), std::string("[dial]\nsmtpport=25\n"));
  }

  void closingRebuildsTheMainListWithoutSaving() {
    window_->Controller().EntryList.clear();
    window_->updatesmtp();
    QCOMPARE(window_->RouteList()->topLevelItemCount(), 0);
    dialog_->show();
    dialog_->Edit3->setText("9999");
    dialog_->close();  // the close box
    QCOMPARE(TreeRows(window_->RouteList()),
             (QStringList{"Work VPN|smtp.work.example|587|", "Hotel|||",
                          "Mobile|mail.carrier.example||"}));
    QVERIFY(!std::filesystem::exists("config/config.ini"));
    // Unsaved settings survive closing; the route fields are reloaded.
    dialog_->show();
    QCOMPARE(dialog_->Edit3->text(), QString("9999"));
    dialog_->Edit2->setText("unsaved");
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    QVERIFY(!dialog_->isVisible());
    dialog_->show();
    QCOMPARE(dialog_->Edit2->text(), QString("smtp.work.example"));
  }

  void aDoubleClickOnTheSurfaceClearsTheNotice() {
    window_->show();
    dialog_->show();
    window_->Controller().ConfigChanged = 1;
    // On a control it does nothing.
    QTest::mouseDClick(dialog_->Edit3, Qt::LeftButton);
    QTest::mouseDClick(dialog_->GroupBox1, Qt::LeftButton, {}, QPoint(5, 60));
    QCOMPARE(window_->Controller().ConfigChanged, 1);
    // On the dialog's own surface, between the rows, it clears the flag.
    const QPoint free(dialog_->width() - 3, dialog_->height() - 3);
    QVERIFY(dialog_->childAt(free) == nullptr);
    QTest::mouseDClick(dialog_.get(), Qt::LeftButton, {}, free);
    QCOMPARE(window_->Controller().ConfigChanged, 0);
    window_->Timer3Timer();
    QVERIFY(window_->ConfigNotice()->isHidden());
  }

  void theTickRunsWhileTheDialogAndItsMessageAreOpen() {
    window_->show();
    ModalBoxes boxes;
    bool noticeWhileDialog = false;
    bool noticeWhileBox = false;
    boxes.whileOpen = [&](QMessageBox*) {
      window_->Controller().ConfigChanged = 1;
      QTest::qWait(1300);
      noticeWhileBox = !window_->ConfigNotice()->isHidden();
    };
    bool modal = false;
    window_->StartTimers();
    QTimer::singleShot(100, [&] {
      modal = QApplication::activeModalWidget() == dialog_.get();
      window_->Controller().ConfigChanged = 1;
      QTest::qWait(1300);
      noticeWhileDialog = !window_->ConfigNotice()->isHidden();
      window_->Controller().ConfigChanged = 0;
      QTest::qWait(1300);
      QTest::mouseClick(dialog_->SpeedButton2, Qt::LeftButton);
      QTest::mouseClick(dialog_->SpeedButton3, Qt::LeftButton);
    });
    window_->SpeedButton4Click();  // modal: returns when the dialog closes
    QVERIFY(modal);
    QVERIFY(noticeWhileDialog);
    QVERIFY(noticeWhileBox);
    QCOMPARE(boxes.Texts(), QStringList{kSaved});
  }

  void everyCaptionFitsAtTheDefaultFontAndLarger() {
    // One main window at a time: it owns the program's one help router.
    dialog_.reset();
    window_.reset();
    const QFont original = QApplication::font();
    for (double scale : {1.0, 1.25}) {
      QFont font = original;
      font.setPointSizeF(original.pointSizeF() * scale);
      QApplication::setFont(font);
      auto window = std::make_unique<TFmain>(std::make_unique<vantelo::dialup::TDialUp>(
          std::vector<std::unique_ptr<vantelo::dialup::TConnectionSource>>{}));
      TFconfig dialog(window->ConfigLinks(), nullptr, window.get());
      window->show();
      window->ConfigNotice()->setVisible(true);
      dialog.show();
      QTest::qWait(50);
      QVERIFY2(CutCaptions(window.get()).isEmpty(),
               qPrintable(CutCaptions(window.get()).join(", ")));
      QVERIFY2(CutCaptions(&dialog).isEmpty(), qPrintable(CutCaptions(&dialog).join(", ")));
    }
    QApplication::setFont(original);
  }

 private:
  std::unique_ptr<vantelo::testkit::TempFolderScope> folder_;
  std::unique_ptr<NetworkManagerMock> nm_;
  std::unique_ptr<TFmain> window_;
  std::unique_ptr<TFconfig> dialog_;
  QWidget* firstFocus_ = nullptr;
};

int main(int argc, char** argv) {
  // The private bus comes before anything opens the system bus.
  vantelo::testkit::NetworkManagerMock::StartBus();
  const int result = vantelo::testkit::RunWidgetTest<ConfigDialogTest>(argc, argv);
  vantelo::testkit::NetworkManagerMock::StopBus();
  return result;
}

#include "config_dialog_test.moc"
