#include "routing/route_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

namespace vantelo::routing {

const char* const kRouteConnectionString =
    "Provider=Microsoft.Jet.OLEDB.4.0;User ID=Admin;Data Source=config/log.mdb;"
    "Mode=ReadWrite;Extended Properties=\"\";Persist Security Info=False;"
    "Jet OLEDB:System database=\"\";Jet OLEDB:Registry Path=\"\";"
    "Jet OLEDB:Database Password=tavok;Jet OLEDB:Engine Type=5;"
    "Jet OLEDB:Database Locking Mode=1;Jet OLEDB:Global Partial Bulk Ops=2;"
    "Jet OLEDB:Global Bulk Transactions=1;Jet OLEDB:New Database Password=\"\";"
    "Jet OLEDB:Create System Database=False;Jet OLEDB:Encrypt Database=False;"
    "Jet OLEDB:Don't Copy Locale on Compact=False;"
    "Jet OLEDB:Compact Without Replica Repair=False;Jet OLEDB:SFP=False";

const char* const kRouteSavedNotice =
    "The setting will be activated after you click refresh button";

std::string ListLookupSql(const std::string& entry) {
  // `like` compares without letter case, as the list always has, but its
  // wildcards would let "H%" show the route of "Home": they are escaped, so
  // the name is compared as it stands.
  if (entry.find_first_of("%_\\") == std::string::npos) {
    return "SELECT server,port FROM smtp WHERE entry like " + Quoted(entry);
  }
  std::string pattern;
  for (char c : entry) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return "SELECT server,port FROM smtp WHERE entry like " + Quoted(pattern) + " ESCAPE '\\'";
}

std::string RouteLookupSql(const std::string& entry) {
  return "SELECT * FROM smtp WHERE entry=" + Quoted(entry);
}

std::string DialogLookupSql(const std::string& entry) {
  return "SELECT  port,server FROM smtp WHERE entry =" + Quoted(entry);
}

std::string ExistenceTestSql(const std::string& entry) {
  return "SELECT  entry FROM smtp WHERE entry =" + Quoted(entry);
}

std::string RouteUpdateSql(const std::string& server, const std::string& port,
                           const std::string& entry) {
  return "UPDATE smtp SET server =" + Quoted(server) + " , port =" + Quoted(port) +
         " where  entry=" + Quoted(entry);
}

std::string RouteInsertSql(const std::string& entry, const std::string& server,
                           const std::string& port) {
  return "INSERT into smtp (entry,server,port) VALUES (" + Quoted(entry) + "," +
         Quoted(server) + "," + Quoted(port) + ")";
}

namespace {

void Run(TADOQuery& query, const std::string& sql) {
  query.Close();
  query.SetSQL(sql);
  query.Open();
}

}  // namespace

TRoute ListLookup(TADOQuery& query, const std::string& entry) {
  Run(query, ListLookupSql(entry));
  return {query.FieldText(0), query.FieldText(1)};
}

TRoute RouteLookup(TADOQuery& query, const std::string& entry) {
  Run(query, RouteLookupSql(entry));
  return {query.FieldText(1), query.FieldText(2)};
}

TRoute DialogLookup(TADOQuery& query, const std::string& entry) {
  Run(query, DialogLookupSql(entry));
  TRoute route;
  route.port = query.FieldText(0);
  route.server = query.FieldText(1);
  return route;
}

void writesmtp(TADOQuery& ADOQuery1, TADOCommand& ADOCommand1, const std::string& entry,
               const std::string& server, const std::string& port) {
  Run(ADOQuery1, ExistenceTestSql(entry));
  bool found = false;
  while (!ADOQuery1.Eof()) {
    if (!ADOQuery1.FieldText(0).empty()) {
      ADOCommand1.CommandText = RouteUpdateSql(server, port, entry);
      ADOCommand1.Execute();
      found = true;
      break;
    }
    ADOQuery1.Next();
  }
  if (ADOQuery1.Eof() && !found) {
    ADOCommand1.CommandText = RouteInsertSql(entry, server, port);
    ADOCommand1.Execute();
  }
}

bool CreateRouteDatabase(const std::string& folder) {
  std::string config = (folder.empty() ? std::string(".") : folder) + "/config";
  std::string path = config + "/log.mdb";
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return false;
  mkdir(config.c_str(), 0755);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db,
                      "CREATE TABLE IF NOT EXISTS smtp "
                      "(entry TEXT COLLATE NOCASE, server TEXT, port TEXT)",
                      nullptr, nullptr, nullptr);
  }
  std::string message = db ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close_v2(db);
  if (rc != SQLITE_OK) throw EDatabaseError("cannot create " + path + ": " + message);
  return true;
}

}  // namespace vantelo::routing
