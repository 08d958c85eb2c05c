// Where the relay reports the failures it swallows. The relay links no logging
// library of its own: the program connects a sink at start (the desktop
// program passes each line to its "vantelo.relay" logging category); with no
// sink connected, lines go nowhere.
//
// Any thread may call RelayLog; the sink is called on the reporting thread,
// one line at a time, so a sink must be thread-safe. SetRelayLogSink may be
// called from any thread, but a sink must stay callable until it is replaced.
#pragma once

#include <functional>
#include <string>

namespace vantelo::relay {

enum class TRelayLogLevel { Info, Warning };

using TRelayLogSink = std::function<void(TRelayLogLevel, const std::string& line)>;

// Replaces the sink; an empty function disconnects it.
void SetRelayLogSink(TRelayLogSink sink);

// One line, without a trailing line break.
void RelayLog(TRelayLogLevel level, const std::string& line);

// A message made fit for one log line: line breaks (the socket errors'
// "Socket Error # N\r\nTEXT") become blanks.
std::string OneLine(const std::string& text);

}  // namespace vantelo::relay
