// The pictures that ship with the program, compiled into it: the product
// icon in several sizes (window and tray icon), the about window's picture and
// the tip window's light bulb.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vantelo::ui {

QIcon ProductIcon();
QPixmap ProductPicture();  // 49 x 49
QPixmap BulbPicture();     // 39 x 44

}  // namespace vantelo::ui
