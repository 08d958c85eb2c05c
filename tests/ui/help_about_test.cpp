// Help, web links and the about window on Qt's offscreen platform. URLs are
// recorded instead of starting a browser.
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "app/program.h"
#include "tests/testkit/modal_boxes.h"
#include "tests/testkit/widget_test_main.h"
#include "tests/testkit/temp_folder_scope.h"
#include "ui/help_router.h"
#include "ui/link_label.h"
#include "ui/tray_icon.h"
#include "ui/about_window.h"
#include "ui/web_links.h"

using namespace vantelo;

namespace {

std::unique_ptr<app::TProgram> MakeProgram() {
  return std::make_unique<app::TProgram>(
      std::make_unique<dialup::TDialUp>(std::vector<std::unique_ptr<dialup::TConnectionSource>>{}));
}

QAction* MenuAction(QWidget* window, const QString& menu, const QString& command) {
  for (QMenu* m : window->findChildren<QMenu*>()) {
    if (m->title() != menu) continue;
    for (QAction* a : m->actions()) {
      if (a->text() == command) return a;
    }
  }
  return nullptr;
}

}  // namespace

class HelpAboutTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    folder_ = std::make_unique<vantelo::testkit::TempFolderScope>();
    opened_.clear();
    ui::SetUrlOpener([this](const QUrl& url) {
      opened_ << url;
      return true;
    });
    ui::TApplicationHelp::HelpFile = QStringLiteral("qovin help\\qovin.chm");
    std::filesystem::create_directory("config");
    std::ofstream("config/tip.cfg") << "A tip\n#\n";
  }
  void cleanup() {
    ui::SetUrlOpener({});
    folder_.reset();
  }

  void onlyOneRouterAtATimeAndItPutsThePreviousHandlerBack() {
    bool earlierAsked = false;
    ui::TApplicationHelp::Handler = [&](int, const ui::THelpData&, bool&) {
      earlierAsked = true;
      return false;
    };
    {
      ui::THelpRouter router;
      try {
        ui::THelpRouter second;
        QFAIL("a second router was made");
      } catch (const ui::EHelpRouterError& e) {
        QCOMPARE(QString(e.what()), QString("Multiple instances of THelpRouter are not allowed"));
      }
      // The earlier handler is asked first and may leave the request to it.
      router.HelpType = ui::htHTMLhelp;
      std::filesystem::create_directories("qovin help");
      std::ofstream("qovin help/index.html") << "<html></html>";
      QVERIFY(router.HelpContents());
      QVERIFY(earlierAsked);
      QCOMPARE(opened_.size(), 1);
    }
    earlierAsked = false;
    ui::TApplicationHelp::HelpCommand(ui::HELP_TAB);
    QVERIFY(earlierAsked);
    { ui::THelpRouter again; }  // the first one is gone, so another may come
    ui::TApplicationHelp::Handler = {};
  }

  void theCommandsOpenTheirPagesOfTheHelp() {
    std::filesystem::create_directories("qovin help");
    for (const char* page : {"index.html", "keywords.html", "search.html"}) {
      std::ofstream(std::string("qovin help/") + page) << "<html></html>";
    }
    ui::THelpRouter router;
    router.HelpType = ui::htHTMLhelp;
    const QString folder = QDir::current().absoluteFilePath("qovin help") + '/';
    QVERIFY(router.HelpContents());
    QVERIFY(ui::TApplicationHelp::HelpCommand(ui::HELP_TAB, {1, {}}));
    QVERIFY(ui::TApplicationHelp::HelpCommand(ui::HELP_INDEX));
    QVERIFY(ui::TApplicationHelp::HelpCommand(ui::HELP_KEY, {0, "Start with windows"}));
    QVERIFY(ui::TApplicationHelp::HelpCommand(ui::HELP_QUIT));
    QVERIFY(!ui::TApplicationHelp::HelpCommand(ui::HELP_SETPOPUP_POS, {0x00200010, {}}));
    QVERIFY(!ui::TApplicationHelp::HelpCommand(9999));
    QCOMPARE(opened_, (QList<QUrl>{QUrl::fromLocalFile(folder + "index.html"),
                                   QUrl::fromLocalFile(folder + "keywords.html"),
                                   QUrl::fromLocalFile(folder + "index.html"),
                                   QUrl(QUrl::fromLocalFile(folder + "search.html").toString() +
                                        "#k-start-with-windows")}));
    // With the older kind of help there is no viewer on this desktop.
    router.HelpType = ui::htWinhelp;
    QVERIFY(!router.HelpContents());
    QCOMPARE(opened_.size(), 4);
  }

  void missingHelpOpensNothingAndShowsNoBox() {
    testkit::ModalBoxes boxes;
    auto program = MakeProgram();
    program->Fmain().SpeedButton1Click();
    program->Fmain().help1Click();
    QTest::qWait(100);
    QVERIFY(opened_.isEmpty());
    QVERIFY(boxes.shown.isEmpty());
  }

  void everyMenuEntryReachesItsAddress() {
    std::filesystem::create_directories("qovin help");
    std::ofstream("qovin help/index.html") << "<html></html>";
    auto program = MakeProgram();
    app::TFmain& main = program->Fmain();
    const QUrl contents =
        QUrl::fromLocalFile(QDir::current().absoluteFilePath("qovin help/index.html"));
    const QUrl home(ui::HomePage());

    MenuAction(&main, "about", "help")->trigger();
    main.SpeedButton1Click();  // the toolbar's Help
    MenuAction(&main, "about", "online help")->trigger();
    MenuAction(&main, "about", "another product from Quorrin")->trigger();
    QCOMPARE(opened_, (QList<QUrl>{contents, contents, QUrl(ui::OnlineHelpPage()), home}));
    QVERIFY(QUrl(ui::OnlineHelpPage()).path().endsWith("/helpfile.htm"));

    opened_.clear();
    QList<QAction*> tray = main.Tray()->PopupMenu()->actions();
    QCOMPARE(tray.size(), 3);
    tray[0]->trigger();  // go to homepage
    QCOMPARE(opened_, QList<QUrl>{home});
  }

  void theAboutWindowShowsTheProductAndItsLinks() {
    auto program = MakeProgram();
    ui::TFabout& about = program->Fabout();
    QCOMPARE(about.windowTitle(), QString("about"));
    QVERIFY(!(about.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(about.windowFlags() & Qt::WindowMaximizeButtonHint));
    QStringList texts;
    for (QLabel* label : about.findChildren<QLabel*>()) {
      if (!label->text().isEmpty()) texts << label->text();
    }
    for (const char* text : {"Vantelo", "Version        :", "1.3 (build 4)",
                             "go to      :", "for update information", "email support     :"}) {
      QVERIFY2(texts.contains(text), text);
    }
    QVERIFY(about.ProductName->font().bold());
    QVERIFY(about.ProductName->font().pointSizeF() > about.font().pointSizeF());
    QVERIFY(!about.Image1->pixmap().isNull());
    QCOMPARE(about.HomePageLink->text(), ui::HomePage());
    QCOMPARE(about.EmailLink->text(), ui::SupportAddress());
    QVERIFY(about.HomePageLink->font().underline());
    QCOMPARE(about.HomePageLink->cursor().shape(), Qt::PointingHandCursor);

    // Modeless; a second request brings the same window, still one of it.
    program->Fmain().about2Click();
    QVERIFY(about.isVisible());
    QVERIFY(!about.isModal());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    program->Fmain().about2Click();
    QCOMPARE(QApplication::topLevelWidgets().count(&about), 1);

    QTest::mouseClick(about.HomePageLink, Qt::LeftButton);
    QTest::mouseClick(about.EmailLink, Qt::LeftButton);
    QCOMPARE(opened_, (QList<QUrl>{QUrl(ui::HomePage()), QUrl("mailto:" + ui::SupportAddress())}));
    QTest::mouseClick(about.CloseButton, Qt::LeftButton);
    QVERIFY(!about.isVisible());
    QCOMPARE(about.CloseButton->text(), QString("Close"));
  }

 private:
  std::unique_ptr<vantelo::testkit::TempFolderScope> folder_;
  QList<QUrl> opened_;
};

int main(int argc, char** argv) {
  return vantelo::testkit::RunWidgetTest<HelpAboutTest>(argc, argv);
}

#include "help_about_test.moc"
