// The route file of the current folder (config/log.mdb), written the way a
// user's own SQLite tool could, for QtTest tests that set up routes, break
// the table or change it behind the program's back.
#pragma once

#include <string>

namespace vantelo::testkit {

// Runs `sql` on config/log.mdb, making the file when it is missing; a failure
// fails the running QtTest case with SQLite's message.
void ExecOnRouteFile(const std::string& sql);

}  // namespace vantelo::testkit
