#include "tests/testkit/route_file.h"

#include <QTest>
#include <sqlite3.h>

namespace vantelo::testkit {

void ExecOnRouteFile(const std::string& sql) {
  sqlite3* db = nullptr;
  const int opened =
      sqlite3_open_v2("config/log.mdb", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  const int done =
      opened == SQLITE_OK ? sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) : opened;
  const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  QVERIFY2(done == SQLITE_OK, (why + " in: " + sql).c_str());
}

}  // namespace vantelo::testkit
