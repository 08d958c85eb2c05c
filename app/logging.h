// The program's log: one line per failure it swallows and per route change,
// on standard error as "CATEGORY: MESSAGE", in five categories:
//   vantelo.route     the route controller: route changes, relays not started
//   vantelo.store     the route file
//   vantelo.settings  the settings file and the autostart entry
//   vantelo.dialup    the dial-up monitor
//   vantelo.relay     the relay's own threads
//   vantelo.help      help pages, web links and the mail program
//   vantelo.app       the program's start and end
// Qt's logging rules (QT_LOGGING_RULES) can silence any of them; how relayed
// connections ended in order is logged only with "vantelo.relay.debug=true".
// Control characters in a message are written as escapes ("\n", "\x1b").
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

// Sets the line format, puts the program's message handler (which escapes
// control characters in vantelo.* messages) in front of Qt's, and connects
// the relay's and the settings code's log sinks to their categories. Called
// once at start, before the first relay exists (the program's main, or a
// test); calling it again changes nothing more.
void ConnectLogs();

// Where the program's handler passes messages on, once escaped (Qt's own
// handler at first); returns the one it replaces. For tests that read the
// log as it would be written.
QtMessageHandler SetLogOutput(QtMessageHandler handler);

}  // namespace vantelo::app
