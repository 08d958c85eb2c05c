// The tips file, the draw of the first tip, and the tip window on Qt's
// offscreen platform.
#include <QCheckBox>
#include <QLabel>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testkit/program_log_capture.h"
#include "tests/testkit/modal_boxes.h"
#include "tests/testkit/widget_test_main.h"
#include "tests/testkit/temp_folder_scope.h"
#include "ui/tips.h"
#include "ui/tip_window.h"

using namespace vantelo;
using Tips = std::vector<std::string>;

namespace {

// A second, plain reading of the tips format: split into lines first, then
// read them one by one.
Tips ReadTipsSimply(std::string text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) lines.push_back(line);
  Tips tips;
  std::string tip;
  for (const std::string& l : lines) {
    if (l == "#") {
      tips.push_back(tip);
      tip.clear();
    } else if (!l.empty()) {
      tip += l + "\n";
    }
  }
  return tips;
}

// The draws written out from the formula: seed * 134775813 + 1 modulo 2^32,
// and the upper half of the 64-bit product seed * n.
std::vector<std::uint32_t> DrawsByHand(std::uint64_t seed, std::uint64_t n) {
  std::vector<std::uint32_t> draws;
  for (int i = 0; i < 5; ++i) {
    seed = (seed * 134775813ull + 1ull) % 4294967296ull;
    draws.push_back(static_cast<std::uint32_t>((seed * n) / 4294967296ull));
  }
  return draws;
}

std::vector<std::uint32_t> Draws(std::uint32_t seed, std::uint32_t n) {
  ui::TTipRandom random(seed);
  std::vector<std::uint32_t> draws;
  for (int i = 0; i < 5; ++i) draws.push_back(random.Draw(n));
  return draws;
}

}  // namespace

class TipsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    folder_ = std::make_unique<vantelo::testkit::TempFolderScope>();
    std::filesystem::create_directory("config");
  }
  void cleanup() { folder_.reset(); }

  void theFileIsReadAsItsFormatSays() {
    QCOMPARE(ui::ParseTips("A\r\nB\r\n#\r\n\r\nC\r\n#\r\nD\r\n"), (Tips{"A\nB\n", "C\n"}));
    QCOMPARE(ui::ParseTips("A\n#\n#\n"), (Tips{"A\n", ""}));      // an empty tip
    QCOMPARE(ui::ParseTips("A\r#\rB\n#"), (Tips{"A\n", "B\n"}));  // CR alone, no last line end
    QCOMPARE(ui::ParseTips("A\n# \n#\n"), (Tips{"A\n# \n"}));     // "# " is text
    QCOMPARE(ui::ParseTips(" #\n#\n"), (Tips{" #\n"}));
    QCOMPARE(ui::ParseTips("no separator\nat all\n"), Tips{});
    QCOMPARE(ui::ParseTips(std::string("A\n#\nB\0\n#\n", 10)), (Tips{"A\n"}));  // NUL ends it
    QCOMPARE(ui::ParseTips("\r\n\r\n\n\r"), Tips{});
  }

  void generatedFilesReadAsTheSimpleReadingSays() {
    const char pieces[] = {'a', 'b', ' ', '#', '\r', '\n', '\0', '\xe9'};
    QRandomGenerator random(20261208);
    for (int round = 0; round < 3000; ++round) {
      std::string text;
      const int length = random.bounded(40);
      for (int i = 0; i < length; ++i)
        text += pieces[random.bounded(static_cast<int>(sizeof pieces))];
      QCOMPARE(ui::ParseTips(text), ReadTipsSimply(text));
    }
  }

  void theFirstTipIsTheFifthDraw() {
    QCOMPARE(ui::TimeOfDaySeed(12, 34, 56, 789), 45296789u);
    QCOMPARE(ui::TimeOfDaySeed(23, 59, 59, 999), 86399999u);
    QCOMPARE(Draws(0, 10), (std::vector<std::uint32_t>{0, 0, 8, 2, 2}));
    QCOMPARE(Draws(45296789, 19), (std::vector<std::uint32_t>{9, 5, 6, 0, 13}));
    for (std::uint32_t seed : {0u, 1u, 45296789u, 86399999u, 4294967295u}) {
      for (std::uint32_t n : {1u, 2u, 7u, 19u, 1000u})
        QCOMPARE(Draws(seed, n), DrawsByHand(seed, n));
    }
    QCOMPARE(ui::FirstTip(45296789, 18), 13);
    QCOMPARE(ui::FirstTip(86399999, 6), 1);
    QCOMPARE(ui::FirstTip(86399999, 0), 0);  // one tip, or none
  }

  void nextAndPreviousWrapAround() {
    std::ofstream("config/tip.cfg") << "one\n#\ntwo\n#\nthree\n#\n";
    ui::TFtip tip;
    tip.TimeOfDayMs = [] { return ui::TimeOfDaySeed(23, 59, 59, 999); };  // draws 1 of 3
    tip.FormCreate();
    QCOMPARE(tip.LastTip(), 2);
    tip.ShowTip();
    QCOMPARE(tip.CurrentTip(), ui::FirstTip(86399999, 2));
    QCOMPARE(tip.Label2->text(), ui::TipText(tip.Tips()[tip.CurrentTip()]));
    QStringList seen;
    for (int i = 0; i < 4; ++i) {
      QTest::mouseClick(tip.SpeedButton1, Qt::LeftButton);
      seen << tip.Label2->text().trimmed();
    }
    for (int i = 0; i < 4; ++i) {
      QTest::mouseClick(tip.SpeedButton2, Qt::LeftButton);
      seen << tip.Label2->text().trimmed();
    }
    const int start = tip.CurrentTip();
    QCOMPARE(start, ui::FirstTip(86399999, 2));
    QStringList names{"one", "two", "three"};
    QStringList expected;
    for (int i = 1; i <= 4; ++i) expected << names[(start + i) % 3];
    for (int i = 3; i >= 0; --i) expected << names[(start + i) % 3];
    QCOMPARE(seen, expected);

    // "tip of the day" while shown: forward, no new draw.
    QTest::mouseClick(tip.SpeedButton1, Qt::LeftButton);
    const int shown = tip.CurrentTip();
    tip.ShowTip();
    QCOMPARE(tip.CurrentTip(), shown);
    // A new showing draws again.
    tip.hide();
    tip.ShowTip();
    QCOMPARE(tip.CurrentTip(), ui::FirstTip(86399999, 2));
  }

  void oneTipOrNoneIsHandledSoundly() {
    std::ofstream("config/tip.cfg") << "only\n#\n";
    ui::TFtip tip;
    tip.FormCreate();
    tip.ShowTip();
    QTest::mouseClick(tip.SpeedButton1, Qt::LeftButton);
    QTest::mouseClick(tip.SpeedButton2, Qt::LeftButton);
    QCOMPARE(tip.Label2->text(), QString("only\n"));

    std::ofstream("config/tip.cfg") << "no separator\n";
    ui::TFtip empty;
    empty.FormCreate();
    empty.ShowTip();
    QTest::mouseClick(empty.SpeedButton1, Qt::LeftButton);
    QTest::mouseClick(empty.SpeedButton2, Qt::LeftButton);
    QCOMPARE(empty.Label2->text(), QString());
    QCOMPARE(empty.LastTip(), 0);

    std::filesystem::remove("config/tip.cfg");
    ui::TFtip missing;
    try {
      missing.FormCreate();
      QFAIL("a missing tips file was read");
    } catch (const ui::ETipsFileError& e) {
      QCOMPARE(QString(e.what()), QString("Cannot open file config\\tip.cfg"));
    }
    missing.ShowTip();
    QCOMPARE(missing.Label2->text(), QString());
  }

  void aLongTipNeverMovesTheButtons() {
    std::ofstream("config/tip.cfg") << "short\n#\n" << std::string(3000, 'w') << "\n#\n";
    std::ofstream tall("config/tip.cfg", std::ios::app);
    for (int i = 0; i < 200; ++i) tall << "line " << i << "\n";
    tall << "#\n";
    tall.close();
    ui::TFtip tip;
    tip.FormCreate();
    QCOMPARE(tip.Tips().size(), 3u);
    tip.TimeOfDayMs = [] { return 0u; };
    tip.ShowTip();
    const QSize size = tip.size();
    const QRect close = tip.SpeedButton3->geometry();
    for (int i = 0; i < 3; ++i) {
      QTest::mouseClick(tip.SpeedButton1, Qt::LeftButton);
      QCoreApplication::processEvents();
      QCOMPARE(tip.size(), size);
      QCOMPARE(tip.SpeedButton3->geometry(), close);
    }
  }

  void onlyARegularFileIsATipsFile() {
    std::filesystem::create_directory("config/tip.cfg");  // a folder
    QVERIFY_THROWS_EXCEPTION(ui::ETipsFileError,
                             ui::ReadTipsFile("config/tip.cfg", "config\\tip.cfg"));
    std::filesystem::remove("config/tip.cfg");
    QCOMPARE(mkfifo("config/tip.cfg", 0600), 0);  // would block a plain open
    try {
      ui::ReadTipsFile("config/tip.cfg", "config\\tip.cfg");
      QFAIL("a FIFO was read");
    } catch (const ui::ETipsFileError& e) {
      QCOMPARE(QString(e.what()), QString("Cannot open file config\\tip.cfg"));
    }
    std::filesystem::remove("config/tip.cfg");

    // Too large to be tips: the box keeps its words, the log says why.
    std::ofstream("config/tip.cfg").close();
    std::filesystem::resize_file("config/tip.cfg", (16 << 20) + 1);  // sparse
    testkit::ProgramLogCapture log;
    ui::TFtip large;
    try {
      large.FormCreate();
      QFAIL("a tips file over 16 MiB was read");
    } catch (const ui::ETipsFileError& e) {
      QCOMPARE(QString(e.what()), QString("Cannot open file config\\tip.cfg"));
    }
    QCOMPARE(log.Take(), std::vector<std::string>{"vantelo.app: cannot read the tips in "
                                                  "config/tip.cfg: larger than 16 MiB"});
  }

  void tipsAreShownAsUtf8OrElseLatin1() {
    QCOMPARE(ui::TipText("caf\xc3\xa9"), QString::fromUtf8("caf\xc3\xa9"));
    QCOMPARE(ui::TipText("caf\xe9"), QString::fromLatin1("caf\xe9"));
  }

  void closeSavesAndHidesTheCloseBoxOnlyHides() {
    std::ofstream("config/tip.cfg") << "a\n#\n";
    ui::TFtip tip;
    tip.FormCreate();
    int saves = 0;
    bool failNext = false;
    tip.savecfg = [&] {
      ++saves;
      if (failNext) throw std::runtime_error("Unable to write to config\\config.ini");
    };
    QCOMPARE(tip.windowTitle(), QString("Tip of the day"));
    QCOMPARE(tip.CheckBox1->text(), QString("Show Tip of the day on startup"));
    QCOMPARE(tip.SpeedButton1->text(), QString("Next tip      >>"));
    QCOMPARE(tip.SpeedButton2->text(), QString("<< Previous tip"));
    QCOMPARE(tip.SpeedButton3->text(), QString("Close"));

    tip.ShowTip();
    tip.close();  // the close box
    QVERIFY(!tip.isVisible());
    QCOMPARE(saves, 0);

    tip.ShowTip();
    QTest::mouseClick(tip.SpeedButton3, Qt::LeftButton);
    QVERIFY(!tip.isVisible());
    QCOMPARE(saves, 1);

    testkit::ModalBoxes boxes;
    failNext = true;
    tip.ShowTip();
    QTest::mouseClick(tip.SpeedButton3, Qt::LeftButton);
    QVERIFY(tip.isVisible());  // stays for another try
    QCOMPARE(boxes.Texts(), QStringList{"Unable to write to config\\config.ini."});
    QCOMPARE(boxes.shown[0].title, QString("Vantelo"));
  }

 private:
  std::unique_ptr<vantelo::testkit::TempFolderScope> folder_;
};

int main(int argc, char** argv) { return vantelo::testkit::RunWidgetTest<TipsTest>(argc, argv); }

#include "tips_test.moc"
