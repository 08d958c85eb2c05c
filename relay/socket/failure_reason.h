// The relay log's words for why something failed. The exceptions keep their
// fixed messages (which carry the socket error numbers); a log line names
// the cause as the system does instead: "connection refused (ECONNREFUSED)".
#pragma once

#include <exception>
#include <string>

namespace vantelo::relay {

// A socket error or a system error: its errno text and name; any other
// exception: its message on one line.
std::string ReasonOf(const std::exception& e);

}  // namespace vantelo::relay
