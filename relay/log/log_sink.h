// Where the relay reports the failures it swallows. The relay links no logging
// library of its own: the program connects a sink at start (the desktop
// program passes each line to its "vantelo.relay" logging category); with no
// sink connected, lines go nowhere.
//
// Every line is made safe on its way to the sink: control characters in it
// (a line feed or an escape sequence in a host name) are written as escapes
// (EscapeControls), so that no value can forge a line or reach a terminal
// raw. A line that repeats is summed up (log_repeats.h): a burst of one
// failure writes one line at once, then at most one a second with a count.
//
// Any thread may call RelayLog; the sink is called on the reporting thread,
// one line at a time, so a sink must be thread-safe, and it must not call
// RelayLog itself. SetRelayLogSink may be called from any thread, but a sink
// must stay callable until it is replaced.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vantelo::relay {

// Debug: how a relayed connection ended when nothing went wrong; the
// program's log leaves these out unless asked for them.
enum class TRelayLogLevel { Debug, Info, Warning };

using TRelayLogSink = std::function<void(TRelayLogLevel, const std::string& line)>;

// Replaces the sink; an empty function disconnects it. What is still being
// summed goes to the sink being replaced first (FlushRelayLog).
void SetRelayLogSink(TRelayLogSink sink);

// One line, without a trailing line break.
void RelayLog(TRelayLogLevel level, const std::string& line);

// Writes the counts of lines still being summed now. Called when a relay
// ends, so that no count is lost with it.
void FlushRelayLog();

// `text` with every control character written as an escape: "\n", "\r",
// "\t", "\x1b" for the other C0 characters and DEL, "\u009b" for the C1
// characters (U+0080 to U+009F, in UTF-8), and "\xff" for a byte that is not
// part of well-formed UTF-8. Everything else, backslashes and other UTF-8
// included, stays as it is, so escaping twice changes nothing. The
// program's own log uses it for every vantelo.* line too.
std::string EscapeControls(std::string_view text);

}  // namespace vantelo::relay
