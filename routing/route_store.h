// The route store: the table `smtp` (entry, server, port, all text) in
// config/log.mdb, and the six statements that read and write it.
//
// The statement builders paste a value between fixed text pieces; the texts
// are the record of what runs. The lookups and writesmtp raise EDatabaseError
// on any failure; the windows that call them catch all and
// keep what was done before. GUI thread only.
#pragma once

#include <string>

#include "routing/ado_layer.h"

namespace vantelo::routing {

// The store's configuration: the data source comes from here. SQLite has no
// database password, so the one named here is not applied: the route file is
// not encrypted.
extern const char* const kRouteConnectionString;

// A server and a port, both as text; empty when the route has none.
struct TRoute {
  std::string server;
  std::string port;
  bool operator==(const TRoute&) const = default;
};

// The list lookup compares with `like`; a name holding `%`, `_` or `\` has
// them escaped (with ` ESCAPE '\'` added), so it matches only itself.
std::string ListLookupSql(const std::string& entry);
std::string RouteLookupSql(const std::string& entry);
std::string DialogLookupSql(const std::string& entry);
std::string ExistenceTestSql(const std::string& entry);
std::string RouteUpdateSql(const std::string& server, const std::string& port,
                           const std::string& entry);
std::string RouteInsertSql(const std::string& entry, const std::string& server,
                           const std::string& port);

// The first row of each lookup, read as the window that issues it reads it:
// the main window's list (`like`), the active entry's route, the dialog. The
// engine's statement is released before each returns (see TADOQuery), so no
// lookup keeps the route file locked.
TRoute ListLookup(TADOQuery& query, const std::string& entry);
TRoute RouteLookup(TADOQuery& query, const std::string& entry);
TRoute DialogLookup(TADOQuery& query, const std::string& entry);

// What the configuration dialog shows once a route has been saved.
extern const char* const kRouteSavedNotice;

// Saves a route: updates every row of `entry` when one reads as non-empty,
// else inserts a new row. Values are taken as they stand, untrimmed. Raises
// EDatabaseError when the route file or a statement fails; a single statement
// runs, so the table is then unchanged.
void writesmtp(TADOQuery& ADOQuery1, TADOCommand& ADOCommand1, const std::string& entry,
               const std::string& server, const std::string& port);

// The connection with the main window's query and command objects.
struct TRouteStore {
  TADOConnection ADOConnection1{kRouteConnectionString};
  TADOQuery ADOQuery3{ADOConnection1};
  TADOCommand ADOCommand1{ADOConnection1};
};

// Creates `folder`/config/log.mdb with the table when the file is missing
// or empty (what a creation cut short leaves); a file with content, a link
// or a folder is never touched. The file is made complete under a temporary
// name and then renamed into place, so a failure (a full disk) leaves none.
// Returns true when it created the file. Raises EDatabaseError when it cannot.
bool CreateRouteDatabase(const std::string& folder);

}  // namespace vantelo::routing
