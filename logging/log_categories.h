// The program's log categories, one per part of the program, for every layer
// above the relay (which has its own sink, relay/log/log_sink.h). Each line is
// one failure that the program swallows, or one route change:
//   vantelo.route     the route controller: route changes, relays not started
//   vantelo.store     the route file
//   vantelo.settings  the settings file and the autostart entry
//   vantelo.dialup    the dial-up monitor: a source that stops answering or
//                     comes back, when it starts and when it clears
//   vantelo.relay     the relay's own threads (lines from its sink)
//   vantelo.login     route logins: passwords asked for, stored in the
//                     keyring or kept for the run (never the password)
//   vantelo.help      help pages, web links and the mail program
//   vantelo.app       the program's start and end, its tray icon and its
//                     error boxes
// Qt's logging rules (QT_LOGGING_RULES) can silence any of them; the line
// format is set by logging/log_output.h.
#pragma once

#include <QLoggingCategory>

namespace vantelo {

Q_DECLARE_LOGGING_CATEGORY(lcRoute)
Q_DECLARE_LOGGING_CATEGORY(lcStore)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcDialup)
Q_DECLARE_LOGGING_CATEGORY(lcRelay)
Q_DECLARE_LOGGING_CATEGORY(lcLogin)
Q_DECLARE_LOGGING_CATEGORY(lcHelp)
Q_DECLARE_LOGGING_CATEGORY(lcApp)

}  // namespace vantelo
