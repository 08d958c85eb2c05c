// Where the routing code reports what it swallows or notices, beside the
// failures it raises:
//   Settings  a settings file that cannot be read and so gives the defaults,
//             an autostart entry that could not be written or removed;
//   Store     the route file deleted or replaced while the program runs.
// The program connects the sink to its "vantelo.settings" and "vantelo.store"
// logs at start (logging/log_output.h); with nothing connected, lines go
// nowhere.
//
// GUI thread only, like every settings and route-file access: no lock is taken.
#pragma once

#include <functional>
#include <string>

namespace vantelo::routing {

enum class TRoutingLogSource { Settings, Store };
enum class TRoutingLogLevel { Info, Warning };
using TRoutingLogSink =
    std::function<void(TRoutingLogSource source, TRoutingLogLevel level, const std::string& line)>;

// Replaces the sink; an empty function disconnects it.
void SetRoutingLogSink(TRoutingLogSink sink);

// One line, without a trailing line break.
void RoutingLog(TRoutingLogSource source, TRoutingLogLevel level, const std::string& line);

}  // namespace vantelo::routing
