// The program's log: one line per failure it swallows and per route change,
// on standard error as "CATEGORY: MESSAGE", in five categories:
//   vantelo.route     the route controller: route changes, relays not started
//   vantelo.store     the route file
//   vantelo.settings  the settings file and the autostart entry
//   vantelo.dialup    the dial-up monitor
//   vantelo.relay     the relay's own threads
//   vantelo.help      help pages, web links and the mail program
//   vantelo.app       the program's start and end
// Qt's logging rules (QT_LOGGING_RULES) can silence any of them.
#pragma once

#include <QLoggingCategory>

#include "dialup/dialup_log.h"

namespace vantelo::app {

Q_DECLARE_LOGGING_CATEGORY(lcRoute)
Q_DECLARE_LOGGING_CATEGORY(lcStore)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcRelay)
Q_DECLARE_LOGGING_CATEGORY(lcHelp)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
using dialup::lcDialup;

// Sets the line format and connects the relay's, the settings code's and the
// route store's log sinks to their categories. Called once at start, before the first relay
// exists (the program's main, or a test).
void ConnectLogs();

}  // namespace vantelo::app
