// The route table through the six statements, on real SQLite files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sqlite3.h>

#include "routing/route_store.h"
#include "routing/routing_log.h"
#include "tests/testkit/temp_folder_fixture.h"

using namespace vantelo::routing;

namespace {

class RouteStore : public vantelo::testkit::TempFolderFixture {
 protected:
  // A database made by hand, as a user could.
  void MakeTable(const char* create = "CREATE TABLE smtp (entry TEXT, server TEXT, port TEXT)") {
    std::filesystem::create_directory("config");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open("config/log.mdb", &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, create, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open("config/log.mdb", &db);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }
  void Save(const std::string& e, const std::string& s, const std::string& p) {
    writesmtp(ADOQuery1, store.ADOCommand1, e, s, p);
  }
  TRouteStore store;
  TADOQuery ADOQuery1{store.ADOConnection1};
};

TEST(RouteStatements, AreExactlyTheTextsOfTheRecord) {
  EXPECT_EQ(ListLookupSql("Dial A"), "SELECT server,port FROM smtp WHERE entry like \"Dial A\"");
  EXPECT_EQ(RouteLookupSql("Dial A"), "SELECT * FROM smtp WHERE entry=\"Dial A\"");
  EXPECT_EQ(DialogLookupSql("Dial A"), "SELECT  port,server FROM smtp WHERE entry =\"Dial A\"");
  EXPECT_EQ(ExistenceTestSql("Dial A"), "SELECT  entry FROM smtp WHERE entry =\"Dial A\"");
  EXPECT_EQ(RouteUpdateSql("mail.isp", "25", "Dial A"),
            "UPDATE smtp SET server =\"mail.isp\" , port =\"25\" where  entry=\"Dial A\"");
  EXPECT_EQ(RouteInsertSql("Dial A", "mail.isp", "25"),
            "INSERT into smtp (entry,server,port) VALUES (\"Dial A\",\"mail.isp\",\"25\")");
  // A double quote in a value is doubled, so it cannot end the literal.
  EXPECT_EQ(RouteLookupSql("a\"b"), "SELECT * FROM smtp WHERE entry=\"a\"\"b\"");
  EXPECT_EQ(std::string(kRouteConnectionString).size(), 579u);
}

TEST_F(RouteStore, SavedRoutesAreFoundByEveryLookup) {
  MakeTable();
  Save("Dial A", "mail.isp", "587");
  EXPECT_STREQ(kRouteSavedNotice, "The setting will be activated after you click refresh button");
  EXPECT_EQ(ListLookup(store.ADOQuery3, "Dial A"), (TRoute{"mail.isp", "587"}));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Dial A"), (TRoute{"mail.isp", "587"}));
  EXPECT_EQ(DialogLookup(ADOQuery1, "Dial A"), (TRoute{"mail.isp", "587"}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "Other"), (TRoute{}));
  // Saving again updates instead of adding a row.
  Save("Dial A", " smtp.isp ", "25");
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Dial A"), (TRoute{" smtp.isp ", "25"}));
  store.ADOQuery3.SetSQL("SELECT count(*) FROM smtp");
  store.ADOQuery3.Open();
  EXPECT_EQ(store.ADOQuery3.FieldText(0), "1");
}

TEST_F(RouteStore, EntriesNamedLikeColumnsAreValuesNotColumns) {
  MakeTable();
  Save("Other", "other.isp", "25");
  for (const char* name : {"entry", "server", "port"})
    Save(name, std::string(name) + ".isp", "2525");
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Other"), (TRoute{"other.isp", "25"}));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "entry"), (TRoute{"entry.isp", "2525"}));
  EXPECT_EQ(DialogLookup(ADOQuery1, "server"), (TRoute{"server.isp", "2525"}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "port"), (TRoute{"port.isp", "2525"}));
}

TEST_F(RouteStore, QuotesAndWildcardsInValuesAreStoredAndFoundExactly) {
  MakeTable();
  const std::string hostile = "VPN \"x\" OR 1=1; DROP TABLE smtp; --";
  Save(hostile, "a\"b", "2'5");
  Save("it's", "o'reilly.example", "25");
  Save("50%_off", "pct.example", "25");
  Save("50Xoff", "x.example", "26");
  EXPECT_EQ(RouteLookup(store.ADOQuery3, hostile), (TRoute{"a\"b", "2'5"}));
  EXPECT_EQ(DialogLookup(ADOQuery1, "it's"), (TRoute{"o'reilly.example", "25"}));
  // '=' matches only itself; 'like' keeps the engine's wildcards.
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "50%_off"), (TRoute{"pct.example", "25"}));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "50%"), (TRoute{}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "50Xoff"), (TRoute{"x.example", "26"}));
}

// The list lookup's `like` used to treat % and _ as wildcards: an entry named
// "H%" showed the route of "Home".
TEST_F(RouteStore, TheListLookupComparesNamesLiterallyWithoutLetterCase) {
  MakeTable();
  Save("Home", "home.isp", "25");
  Save("50%_off", "pct.example", "26");
  Save("back\\slash", "bs.example", "27");
  EXPECT_EQ(ListLookup(store.ADOQuery3, "H%"), (TRoute{}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "Hom_"), (TRoute{}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "HOME"), (TRoute{"home.isp", "25"}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "50%_OFF"), (TRoute{"pct.example", "26"}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "50%"), (TRoute{}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "back\\slash"), (TRoute{"bs.example", "27"}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "back\\"), (TRoute{}));
  EXPECT_EQ(ListLookupSql("H%"),
            "SELECT server,port FROM smtp WHERE entry like \"H\\%\" ESCAPE '\\'");
}

// Another program writing the route file, as the README suggests, with the
// sqlite3 tool: every lookup has let go of the file when it returns, and a
// row written by the tool reaches the next lookup.
TEST_F(RouteStore, LookupsLeaveTheRouteFileFreeForOtherPrograms) {
  MakeTable();
  Save("Work VPN", "vpn.isp", "25");
  auto otherProgram = [](const std::string& sql) {
    const std::string command =
        "/usr/bin/sqlite3 -cmd '.timeout 2000' config/log.mdb \"" + sql + "\" 2>&1";
    return std::system(command.c_str());
  };
  EXPECT_EQ(ListLookup(store.ADOQuery3, "Work VPN").server, "vpn.isp");
  EXPECT_EQ(otherProgram("UPDATE smtp SET port='1'"), 0);
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Work VPN"), (TRoute{"vpn.isp", "1"}));
  EXPECT_EQ(otherProgram("UPDATE smtp SET port='2'"), 0);
  EXPECT_EQ(DialogLookup(ADOQuery1, "Work VPN"), (TRoute{"vpn.isp", "2"}));
  EXPECT_EQ(otherProgram("INSERT INTO smtp VALUES ('Mobile','gsm.isp','587')"), 0);
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Mobile"), (TRoute{"gsm.isp", "587"}));
  Save("Mobile", "gsm2.isp", "588");
  EXPECT_EQ(otherProgram("DELETE FROM smtp WHERE entry='Work VPN'"), 0);
  EXPECT_EQ(ListLookup(store.ADOQuery3, "Work VPN"), (TRoute{}));
}

TEST_F(RouteStore, ComparisonsIgnoreLetterCase) {
  MakeTable();
  Save("My VPN", "vpn.isp", "25");
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "my vpn"), (TRoute{"vpn.isp", "25"}));
  EXPECT_EQ(ListLookup(store.ADOQuery3, "MY VPN"), (TRoute{"vpn.isp", "25"}));
  Save("MY VPN", "other.isp", "26");  // updates, does not insert
  EXPECT_EQ(DialogLookup(ADOQuery1, "My Vpn"), (TRoute{"other.isp", "26"}));
}

TEST_F(RouteStore, TwoRowsForOneEntryAreBothUpdated) {
  MakeTable();
  Exec("INSERT INTO smtp VALUES ('Dup','one','1'),('Dup','two','2')");
  Save("Dup", "both", "3");
  store.ADOQuery3.SetSQL("SELECT server,port FROM smtp WHERE entry=\"Dup\"");
  store.ADOQuery3.Open();
  int rows = 0;
  for (; !store.ADOQuery3.Eof(); store.ADOQuery3.Next(), ++rows) {
    EXPECT_EQ(store.ADOQuery3.FieldText(0), "both");
  }
  EXPECT_EQ(rows, 2);
}

TEST_F(RouteStore, SavingWithAnEmptyEntryInsertsEachTime) {
  MakeTable();
  Save("", "a", "1");
  Save("", "b", "2");
  store.ADOQuery3.SetSQL("SELECT count(*) FROM smtp WHERE entry=\"\"");
  store.ADOQuery3.Open();
  EXPECT_EQ(store.ADOQuery3.FieldText(0), "2");
}

TEST_F(RouteStore, ExtraColumnsAndNullsAreTolerated) {
  MakeTable("CREATE TABLE smtp (entry TEXT, server TEXT, port INTEGER, note TEXT)");
  Exec("INSERT INTO smtp VALUES ('Null', NULL, NULL, 'x')");
  Save("New", "new.isp", "2525");
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "New"), (TRoute{"new.isp", "2525"}));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Null"), (TRoute{}));
}

TEST_F(RouteStore, AMissingDatabaseFailsEveryStatementAndIsNeverCreated) {
  try {
    ListLookup(store.ADOQuery3, "x");
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(e.Busy);  // no later try will find it
  }
  EXPECT_FALSE(store.ADOConnection1.Connected());
  std::filesystem::create_directory("config");
  EXPECT_THROW(RouteLookup(store.ADOQuery3, "x"), EDatabaseError);
  EXPECT_THROW(Save("x", "y", "1"), EDatabaseError);  // reported, not shown as saved
  EXPECT_FALSE(std::filesystem::exists("config/log.mdb"));
  // Once the file is there, the next statement opens it.
  MakeTable();
  EXPECT_EQ(ListLookup(store.ADOQuery3, "x"), (TRoute{}));
  EXPECT_TRUE(store.ADOConnection1.Connected());
}

TEST_F(RouteStore, ALockedDatabaseFailsAfterAboutASecond) {
  MakeTable();
  sqlite3* other = nullptr;
  sqlite3_open("config/log.mdb", &other);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto start = std::chrono::steady_clock::now();
  try {
    RouteLookup(store.ADOQuery3, "x");
    ADD_FAILURE() << "a locked file was read";
  } catch (const EDatabaseError& e) {
    EXPECT_TRUE(e.Busy) << e.what();  // worth trying again later
  }
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "x"), (TRoute{}));
}

// The connection stays open between lookups: a file deleted meanwhile used
// to be read (and written) through the old handle, and a replacement never
// seen, all without a word.
TEST_F(RouteStore, AFileDeletedOrReplacedWhileOpenIsNoticedAndLoggedOnce) {
  std::vector<std::string> lines;
  SetRoutingLogSink([&](TRoutingLogSource source, TRoutingLogLevel level, const std::string& line) {
    EXPECT_EQ(source, TRoutingLogSource::Store) << line;
    lines.push_back((level == TRoutingLogLevel::Warning ? "W " : "I ") + line);
  });
  MakeTable();
  Save("Dial", "old.isp", "25");
  TRouteStore other;  // a second connection to the same file, as the dialog has
  EXPECT_EQ(RouteLookup(other.ADOQuery3, "Dial"), (TRoute{"old.isp", "25"}));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Dial"), (TRoute{"old.isp", "25"}));

  std::filesystem::remove("config/log.mdb");
  for (TRouteStore* s : {&store, &other, &store}) {
    EXPECT_THROW(RouteLookup(s->ADOQuery3, "Dial"), EDatabaseError);
  }
  EXPECT_THROW(Save("Dial", "lost.isp", "25"), EDatabaseError);
  MakeTable();
  Exec("INSERT INTO smtp VALUES ('Dial', 'new.isp', '587')");
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Dial"), (TRoute{"new.isp", "587"}));
  EXPECT_EQ(RouteLookup(other.ADOQuery3, "Dial"), (TRoute{"new.isp", "587"}));

  // Put in place by a rename, as a restored backup is.
  std::filesystem::copy_file("config/log.mdb", "config/backup.mdb");
  Exec("UPDATE smtp SET server = 'newer.isp'");
  std::filesystem::rename("config/backup.mdb", "config/log.mdb");
  EXPECT_EQ(RouteLookup(other.ADOQuery3, "Dial"), (TRoute{"new.isp", "587"}));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "Dial"), (TRoute{"new.isp", "587"}));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "W config/log.mdb was deleted while Vantelo ran: no route can be read or "
                       "saved until it is back",
                       "I config/log.mdb is there again: routes are read from it",
                       "I config/log.mdb was replaced while Vantelo ran: routes are read from "
                       "the new file"}));
  SetRoutingLogSink(nullptr);
}

TEST_F(RouteStore, SetupCreatesTheTableOnceAndNeverTouchesAnExistingFile) {
  EXPECT_TRUE(CreateRouteDatabase("."));
  Save("Dial", "mail.isp", "25");
  EXPECT_FALSE(CreateRouteDatabase("."));
  EXPECT_EQ(RouteLookup(store.ADOQuery3, "DIAL"), (TRoute{"mail.isp", "25"}));
}

}  // namespace
