// Pictures of the main window's toolbar buttons, drawn by the program itself
// so that they look the same on every desktop theme.
#pragma once

#include <QIcon>

namespace vantelo::ui {

QIcon RefreshIcon();
QIcon ConfigIcon();
QIcon HelpIcon();
QIcon ExitIcon();

}  // namespace vantelo::ui
