// Where the program's log lines go: standard error, one line each as
// "CATEGORY: MESSAGE", in the categories of logging/log_categories.h. The
// relay and the routing code (settings file, autostart entry, route file),
// which link no Qt, report through sinks of their own; ConnectLogs passes
// their lines to "vantelo.relay", "vantelo.settings" and "vantelo.store".
// Control characters in a message are written as escapes ("\n", "\x1b");
// how relayed connections ended in order is logged only with
// QT_LOGGING_RULES="vantelo.relay.debug=true".
#pragma once

#include "logging/log_categories.h"

namespace vantelo::logging {

// Sets the line format, puts the program's message handler (which escapes
// control characters in vantelo.* messages) in front of Qt's, and connects
// the relay's sink (relay/log/log_sink.h) and the routing sink
// (routing/routing_log.h) to their categories. Called once at start, before the first relay exists
// (the program's main, or a test); calling it again changes nothing more.
void ConnectLogs();

// Where the program's handler passes messages on, once escaped (Qt's own
// handler at first); returns the one it replaces. For tests that read the
// log as it would be written.
QtMessageHandler SetLogOutput(QtMessageHandler handler);

}  // namespace vantelo::logging
