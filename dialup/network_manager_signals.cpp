#include "dialup/network_manager_signals.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

#include "dialup/network_manager_names.h"
#include "logging/log_categories.h"

namespace vantelo::dialup {
namespace {

const QString kPropertiesChanged = QStringLiteral("PropertiesChanged");

// The properties named by a PropertiesChanged: the standard one carries
// (interface, changed, invalidated), NetworkManager's own only (changed).
QStringList Named(const QDBusMessage& message) {
  const QList<QVariant> args = message.arguments();
  const bool standard = message.interface() == kPropertiesIface;
  QStringList names;
  const QVariant changed = args.value(standard ? 1 : 0);
  if (changed.canConvert<QDBusArgument>()) {
    names = qdbus_cast<QVariantMap>(changed.value<QDBusArgument>()).keys();
  } else {
    names = changed.toMap().keys();
  }
  if (standard) names += args.value(2).toStringList();
  return names;
}

bool NamesAny(const QDBusMessage& message, const QStringList& wanted) {
  for (const QString& name : Named(message)) {
    if (wanted.contains(name)) return true;
  }
  return false;
}

}  // namespace

TNetworkManagerSignals::TNetworkManagerSignals(std::function<void()> changed)
    : changed_(std::move(changed)) {}

bool TNetworkManagerSignals::Follow(const QString& busName) {
  QDBusConnection bus(busName);
  // An empty path: every active connection, whatever its number.
  const bool listening =
      bus.connect(kService, kManagerPath, kPropertiesIface, kPropertiesChanged, {kManagerIface}, {},
                  this, SLOT(ManagerPropertiesChanged(QDBusMessage))) &&
      bus.connect(kService, kManagerPath, kManagerIface, kPropertiesChanged, this,
                  SLOT(ManagerPropertiesChanged(QDBusMessage))) &&
      bus.connect(kService, {}, kPropertiesIface, kPropertiesChanged, {kActiveIface}, {}, this,
                  SLOT(ActivePropertiesChanged(QDBusMessage))) &&
      bus.connect(kService, {}, kActiveIface, kPropertiesChanged, this,
                  SLOT(ActivePropertiesChanged(QDBusMessage))) &&
      bus.connect(kService, {}, kActiveIface, QStringLiteral("StateChanged"), this,
                  SLOT(ActiveStateChanged()));
  if (!listening) {
    qCWarning(lcDialup,
              "cannot follow NetworkManager's signals: %s; its changes are seen at the next "
              "second",
              qUtf8Printable(bus.lastError().message()));
  }
  return listening;
}

void TNetworkManagerSignals::ManagerPropertiesChanged(const QDBusMessage& message) {
  if (NamesAny(message, {QStringLiteral("ActiveConnections"), QStringLiteral("PrimaryConnection")}))
    changed_();
}

void TNetworkManagerSignals::ActivePropertiesChanged(const QDBusMessage& message) {
  if (NamesAny(message, {QStringLiteral("State")})) changed_();
}

void TNetworkManagerSignals::ActiveStateChanged() { changed_(); }

}  // namespace vantelo::dialup
