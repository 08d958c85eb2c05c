// NetworkManager's D-Bus names, shared by the source that asks it
// (network_manager_source.h) and the watcher of its signals
// (network_manager_signals.h).
#pragma once

#include <QString>

namespace vantelo::dialup {

inline const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString kManagerIface = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
inline const QString kSettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
inline const QString kProfileIface =
    QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
inline const QString kActiveIface =
    QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
inline const QString kDeviceIface = QStringLiteral("org.freedesktop.NetworkManager.Device");
inline const QString kVpnIface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
inline const QString kPropertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");

}  // namespace vantelo::dialup
