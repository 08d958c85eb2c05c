#include "ui/log_categories.h"

namespace vantelo::ui {

Q_LOGGING_CATEGORY(lcStore, "vantelo.store")
Q_LOGGING_CATEGORY(lcSettings, "vantelo.settings")
Q_LOGGING_CATEGORY(lcDialup, "vantelo.dialup")
Q_LOGGING_CATEGORY(lcHelp, "vantelo.help")
Q_LOGGING_CATEGORY(lcApp, "vantelo.app")

}  // namespace vantelo::ui
