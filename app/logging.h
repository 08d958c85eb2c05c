// Where the program's log lines go: standard error, one line each as
// "CATEGORY: MESSAGE", in the categories of logging/log_categories.h. The
// relay and the settings code, which link no Qt, report through sinks of
// their own; ConnectLogs passes their lines to "vantelo.relay" and
// "vantelo.settings".
#pragma once

#include "logging/log_categories.h"

namespace vantelo::app {

// Sets the line format and connects the relay's and the settings code's log
// sinks to their categories. Called once at start, before the first relay
// exists (the program's main, or a test).
void ConnectLogs();

}  // namespace vantelo::app
