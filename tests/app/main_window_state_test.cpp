// The main window's share of the routing state, on Qt's offscreen platform:
// the "Active" mark of the route list and the deferred start, which fills the
// entry list once.
#include <QTemporaryDir>
#include <fstream>
#include <QTest>
#include <QTreeWidget>
#include <unistd.h>

#include "app/program.h"
#include "app/main_window.h"
#include "routing/route_store.h"
#include "tests/testkit/widget_test_main.h"
#include "tests/testkit/temp_folder_scope.h"

using vantelo::app::TFmain;
using namespace vantelo::dialup;

namespace {

// The machine as the window sees it: fixed entries, no connection; counts
// how often the entries were asked for.
struct CountingSource : TConnectionSource {
  int asked = 0;
  std::vector<std::string> Entries() override {
    ++asked;
    return {"Work VPN"};
  }
  std::vector<TRasConnection> ActiveConnections(bool) override { return {}; }
};

}  // namespace

class MainWindowStateTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    folder_ = std::make_unique<vantelo::testkit::TempFolderScope>();
    vantelo::routing::CreateRouteDatabase(".");
    std::ofstream("config/tip.cfg") << "A tip\n#\n";
  }
  void cleanup() { folder_.reset(); }

  // The mark compares names exactly: "work vpn" is another entry.
  void onlyTheExactActiveNameIsMarked() {
    TFmain window(std::make_unique<TDialUp>(std::vector<std::unique_ptr<TConnectionSource>>{}));
    window.Controller().EntryList = {"work vpn", "Work VPN", "WORK VPN"};
    window.Controller().ActiveEntry = "Work VPN";
    window.updatesmtp();
    QTreeWidget* list = window.RouteList();
    QCOMPARE(list->topLevelItemCount(), 3);
    QCOMPARE(list->topLevelItem(0)->text(3), QString());
    QCOMPARE(list->topLevelItem(1)->text(3), QString("Active"));
    QCOMPARE(list->topLevelItem(2)->text(3), QString());
  }

  // The deferred start runs once, about a second after the window is made.
  void theDeferredStartRunsOnce() {
    auto source = std::make_unique<CountingSource>();
    CountingSource* counting = source.get();
    std::vector<std::unique_ptr<TConnectionSource>> sources;
    sources.push_back(std::move(source));
    vantelo::app::TProgram program(std::make_unique<TDialUp>(std::move(sources)));
    program.Start();
    QTRY_COMPARE_WITH_TIMEOUT(counting->asked, 1, 3000);
    QTest::qWait(2500);
    QCOMPARE(counting->asked, 1);
    QCOMPARE(program.Fmain().Controller().EntryList, std::vector<std::string>{"Work VPN"});
  }

 private:
  std::unique_ptr<vantelo::testkit::TempFolderScope> folder_;
};

int main(int argc, char** argv) {
  return vantelo::testkit::RunWidgetTest<MainWindowStateTest>(argc, argv);
}
#include "main_window_state_test.moc"
