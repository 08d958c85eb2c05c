// The dial-up monitor's log: "vantelo.dialup", one line per failure it
// swallows (a service that stops answering, more connections than it has room
// for), when it starts and when it clears.
#pragma once

#include <QLoggingCategory>

namespace vantelo::dialup {
Q_DECLARE_LOGGING_CATEGORY(lcDialup)
}
