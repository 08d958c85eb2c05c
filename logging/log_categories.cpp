#include "logging/log_categories.h"

namespace vantelo {

Q_LOGGING_CATEGORY(lcRoute, "vantelo.route")
Q_LOGGING_CATEGORY(lcStore, "vantelo.store")
Q_LOGGING_CATEGORY(lcSettings, "vantelo.settings")
Q_LOGGING_CATEGORY(lcDialup, "vantelo.dialup")
// How relayed connections ended in order is there only when asked for.
Q_LOGGING_CATEGORY(lcRelay, "vantelo.relay", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLogin, "vantelo.login")
Q_LOGGING_CATEGORY(lcHelp, "vantelo.help")
Q_LOGGING_CATEGORY(lcApp, "vantelo.app")

}  // namespace vantelo
