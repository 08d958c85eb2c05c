#include "dialup/dialup_log.h"

namespace vantelo::dialup {
Q_LOGGING_CATEGORY(lcDialup, "vantelo.dialup")
}
