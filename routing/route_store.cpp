#include "routing/route_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

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
  return "INSERT into smtp (entry,server,port) VALUES (" + Quoted(entry) + "," + Quoted(server) +
         "," + Quoted(port) + ")";
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

namespace {

// The table made in the file at `path`, which exists and is empty.
// Returns the empty text on success, else why it failed.
std::string MakeTable(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db,
                      "CREATE TABLE IF NOT EXISTS smtp "
                      "(entry TEXT COLLATE NOCASE, server TEXT, port TEXT)",
                      nullptr, nullptr, nullptr);
  }
  std::string message = rc == SQLITE_OK ? "" : db ? sqlite3_errmsg(db) : "out of memory";
  if (sqlite3_close_v2(db) != SQLITE_OK && message.empty()) message = "cannot close it";
  return message;
}

}  // namespace

bool CreateRouteDatabase(const std::string& folder) {
  std::string config = (folder.empty() ? std::string(".") : folder) + "/config";
  std::string path = config + "/log.mdb";
  // An empty file is what a creation cut short left (a full disk, say): it
  // is made again. A file with content, a link or a folder is never touched.
  struct stat st;
  const bool repair = lstat(path.c_str(), &st) == 0;
  if (repair && (!S_ISREG(st.st_mode) || st.st_size != 0)) return false;
  mkdir(config.c_str(), 0755);

  // Made complete under a temporary name, so that no failure leaves a file
  // at the real name for the program to take as the route file.
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw EDatabaseError("cannot create " + path + ": " + std::strerror(errno));
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0644 & ~mask);  // as SQLite makes a new file
  close(fd);
  std::string problem = MakeTable(temp);
  if (problem.empty()) {
    // Never over a file that got content (or appeared) in the meantime.
    const bool stillEmpty =
        repair && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
    const int placed =
        stillEmpty ? std::rename(temp.c_str(), path.c_str())
                   : renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (placed != 0 && errno == EEXIST) {
      unlink(temp.c_str());
      return false;
    }
    if (placed != 0) problem = std::strerror(errno);
  }
  if (!problem.empty()) {
    unlink(temp.c_str());
    unlink((temp + "-journal").c_str());
    throw EDatabaseError("cannot create " + path + ": " + problem);
  }
  return true;
}

}  // namespace vantelo::routing
