// NetworkManager's signals that say its active connections may have changed:
// the manager's ActiveConnections or PrimaryConnection changing, and an
// active connection changing its State, each as the standard
// PropertiesChanged of D-Bus or as NetworkManager's own (older versions send
// that one), and an active connection's StateChanged. Every such signal
// calls the hook once; other property changes (a device's counters, the
// connectivity) do not. The caller coalesces a burst.
//
// It listens on each connection to the system bus that Follow names, for as
// long as that connection lives. GUI thread only: the hook is called from
// Qt's event loop.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QDBusMessage;

namespace vantelo::dialup {

class TNetworkManagerSignals : public QObject {
  Q_OBJECT

 public:
  explicit TNetworkManagerSignals(std::function<void()> changed);

  // Listens on the connection made by connectToBus under `busName`; false,
  // with a line in the log, when the bus would not take the match rules.
  bool Follow(const QString& busName);

 private slots:
  void ManagerPropertiesChanged(const QDBusMessage& message);
  void ActivePropertiesChanged(const QDBusMessage& message);
  void ActiveStateChanged();

 private:
  std::function<void()> changed_;
};

}  // namespace vantelo::dialup
