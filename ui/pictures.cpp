#include "ui/pictures.h"

#include <QFile>

// The resources live in a static library: they are registered by hand.
static void RegisterPictures() { Q_INIT_RESOURCE(pictures); }

namespace vantelo::ui {
namespace {

void EnsureRegistered() {
  static const bool registered = (RegisterPictures(), true);
  (void)registered;
}

}  // namespace

QIcon ProductIcon() {
  EnsureRegistered();
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString name = QStringLiteral(":/icons/vantelo-%1.png").arg(size);
    if (QFile::exists(name)) icon.addFile(name, QSize(size, size));
  }
  return icon;
}

QPixmap ProductPicture() {
  EnsureRegistered();
  return QPixmap(QStringLiteral(":/about.png"));
}

QPixmap BulbPicture() {
  EnsureRegistered();
  return QPixmap(QStringLiteral(":/bulb.png"));
}

}  // namespace vantelo::ui
