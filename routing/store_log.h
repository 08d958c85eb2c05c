// Where the route store reports what it notices about its file beyond the
// failures it raises: the file deleted or replaced while the program runs.
// The program connects this to its "vantelo.store" log at start; with
// nothing connected, lines go nowhere.
//
// GUI thread only, like every route-file access: no lock is taken.
#pragma once

#include <functional>
#include <string>

namespace vantelo::routing {

enum class TStoreLogLevel { Info, Warning };
using TStoreLogSink = std::function<void(TStoreLogLevel level, const std::string& line)>;

// Replaces the sink; an empty function disconnects it.
void SetStoreLogSink(TStoreLogSink sink);

// One line, without a trailing line break.
void StoreLog(TStoreLogLevel level, const std::string& line);

}  // namespace vantelo::routing
