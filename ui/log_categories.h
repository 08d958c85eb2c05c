// The logging categories of the windows. Lines go to standard error as
// "category: message"; the program swallows these failures as the windows
// are meant to, but never without a line.
#pragma once

#include <QLoggingCategory>

namespace vantelo::ui {

Q_DECLARE_LOGGING_CATEGORY(lcStore)     // vantelo.store: the route file
Q_DECLARE_LOGGING_CATEGORY(lcSettings)  // vantelo.settings: config.ini and autostart
Q_DECLARE_LOGGING_CATEGORY(lcDialup)    // vantelo.dialup: the connection monitor
Q_DECLARE_LOGGING_CATEGORY(lcHelp)      // vantelo.help: help, web links, tips
Q_DECLARE_LOGGING_CATEGORY(lcApp)       // vantelo.app: start and end of the program

}  // namespace vantelo::ui
