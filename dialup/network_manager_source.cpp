#include "dialup/network_manager_source.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QMap>
#include <optional>

#include "dialup/network_manager_names.h"
#include "dialup/network_manager_signals.h"
#include "dialup/status_text.h"
#include "logging/log_categories.h"

using TConnectionSettings = QMap<QString, QVariantMap>;
Q_DECLARE_METATYPE(TConnectionSettings)

namespace vantelo::dialup {
namespace {

// NetworkManager's numbers.
constexpr uint kActiveActivating = 1, kActiveActivated = 2, kActiveDeactivating = 3,
               kActiveDeactivated = 4;
constexpr uint kDeviceFailed = 120;

}  // namespace

// Calls to NetworkManager that share one time budget. Once the service has
// proved absent or slow, every further call of the enumeration gives up at
// once.
class TBudgetedBus {
 public:
  // `name`: a connection made by connectToBus; empty for none.
  explicit TBudgetedBus(const QString& name)
      : bus_(name.isEmpty() ? QDBusConnection(QStringLiteral("vantelo-no-bus"))
                            : QDBusConnection(name)) {
    clock_.start();
    gone_ = !bus_.isConnected();
  }

  std::optional<QList<QVariant>> Call(const QString& path, const QString& iface,
                                      const QString& method, const QList<QVariant>& args = {}) {
    const qint64 left = TNetworkManagerSource::kCallBudgetMs - clock_.elapsed();
    if (gone_ || left <= 0) {
      if (!gone_) timedOut_ = true;
      gone_ = true;
      return std::nullopt;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, iface, method);
    call.setArguments(args);
    QDBusMessage reply = bus_.call(call, QDBus::Block, static_cast<int>(left));
    if (reply.type() == QDBusMessage::ReplyMessage) {
      answered_ = true;
      return reply.arguments();
    }
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
      absent_ = true;
    }
    if (!bus_.isConnected() || error == QLatin1String("org.freedesktop.DBus.Error.Disconnected")) {
      lost_ = true;
    }
    if (error != QLatin1String("org.freedesktop.DBus.Error.InvalidArgs") &&
        error != QLatin1String("org.freedesktop.DBus.Error.UnknownProperty") &&
        error != QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") &&
        error != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
      gone_ = true;  // no service, no reply, or a broken bus
      if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
          error == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
        timedOut_ = true;
      }
    }
    return std::nullopt;
  }

  // The service is there but did not answer within the budget (an absent
  // service is no failure: the machine simply has no NetworkManager).
  bool TimedOut() const { return timedOut_; }
  // NetworkManager answered a call; the bus said it has no such service;
  // the connection to the bus broke during a call.
  bool Answered() const { return answered_; }
  bool Absent() const { return absent_; }
  bool Lost() const { return lost_; }

  QVariant Get(const QString& path, const QString& iface, const QString& name) {
    auto reply = Call(path, kPropertiesIface, QStringLiteral("Get"), {iface, name});
    if (!reply || reply->isEmpty()) return {};
    return reply->first().value<QDBusVariant>().variant();
  }

  QVariantMap GetAll(const QString& path, const QString& iface) {
    auto reply = Call(path, kPropertiesIface, QStringLiteral("GetAll"), {iface});
    if (!reply || reply->isEmpty()) return {};
    return qdbus_cast<QVariantMap>(reply->first());
  }

 private:
  QDBusConnection bus_;
  QElapsedTimer clock_;
  bool gone_ = false;
  bool timedOut_ = false;
  bool answered_ = false;
  bool absent_ = false;
  bool lost_ = false;
};

namespace {

QList<QDBusObjectPath> ToPaths(const QVariant& value) {
  if (value.canConvert<QDBusArgument>()) {
    return qdbus_cast<QList<QDBusObjectPath>>(value.value<QDBusArgument>());
  }
  return value.value<QList<QDBusObjectPath>>();
}

uint DeviceStateReason(const QVariant& value) {
  if (!value.canConvert<QDBusArgument>()) return 0;
  const QDBusArgument arg = value.value<QDBusArgument>();
  uint state = 0, reason = 0;
  arg.beginStructure();
  arg >> state >> reason;
  arg.endStructure();
  return reason;
}

std::uint32_t FromDeviceState(uint state) {
  switch (state) {
    case 40:
      return 0;  // prepare: opening port
    case 50:
      return 2;  // config: connecting device
    case 60:
      return 5;  // need auth: start authenticating
    case 70:
      return 10;  // ip config: projecting
    case 80:
      return 18;  // ip check: projected
    case 90:
      return 14;  // secondaries: authenticated
    default:
      return kStateConnectDevice;
  }
}

std::optional<std::uint32_t> FromVpnState(uint state) {
  switch (state) {
    case 1:
      return 0;  // prepare
    case 2:
      return 5;  // need auth
    case 3:
      return 2;  // connect
    case 4:
      return 10;  // ip config get
    default:
      return std::nullopt;
  }
}

std::vector<std::string> ToStrings(const QList<QString>& list) {
  std::vector<std::string> out;
  for (const QString& s : list) out.push_back(s.toStdString());
  return out;
}

void RegisterTypes() {
  static const bool registered = [] {
    qDBusRegisterMetaType<TConnectionSettings>();
    return true;
  }();
  (void)registered;
}

}  // namespace

bool TNetworkManagerSource::IsDialUpType(const QString& type) {
  static const QStringList dialUp = {"vpn",   "wireguard", "gsm", "cdma",
                                     "pppoe", "bluetooth", "adsl"};
  return dialUp.contains(type);
}

bool TNetworkManagerSource::IsLanType(const QString& type) {
  return type == QLatin1String("802-11-wireless") || type == QLatin1String("802-3-ethernet");
}

std::vector<std::string> TNetworkManagerSource::Entries() { return ProfilesOf(&IsDialUpType); }

std::vector<std::string> TNetworkManagerSource::LanEntries() { return ProfilesOf(&IsLanType); }

TNetworkManagerSource::TNetworkManagerSource() = default;
TNetworkManagerSource::~TNetworkManagerSource() { DropBus(); }

void TNetworkManagerSource::WatchChanges(std::function<void()> changed) {
  watch_ = std::make_unique<TNetworkManagerSignals>(std::move(changed));
  if (!busName_.isEmpty()) watch_->Follow(busName_);
}

QString TNetworkManagerSource::Bus() {
  if (!busName_.isEmpty() && QDBusConnection(busName_).isConnected()) return busName_;
  LoseBus();
  // Qt keeps a connection under its name for good, a broken one too: every
  // attempt gets a name of its own.
  static int attempts = 0;
  const QString name = QStringLiteral("vantelo-system-bus-%1").arg(++attempts);
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
  if (!bus.isConnected()) {
    if (!busMissing_) {
      qCWarning(lcDialup,
                "cannot connect to the system bus: %s; NetworkManager's connections are "
                "left out until it can be reached",
                qUtf8Printable(bus.lastError().message()));
      busMissing_ = true;
    }
    QDBusConnection::disconnectFromBus(name);
    return {};
  }
  if (busMissing_) qCInfo(lcDialup, "connected to the system bus again");
  busMissing_ = false;
  busName_ = name;
  // Signals reach only the connection that asked for them: a fresh one asks again.
  if (watch_) watch_->Follow(busName_);
  return busName_;
}

void TNetworkManagerSource::LoseBus() {
  if (busName_.isEmpty()) return;
  DropBus();
  qCWarning(lcDialup,
            "the connection to the system bus was lost: NetworkManager's connections "
            "are left out until it is made again");
  busMissing_ = true;
}

void TNetworkManagerSource::DropBus() {
  if (busName_.isEmpty()) return;
  QDBusConnection::disconnectFromBus(busName_);
  busName_.clear();
}

std::vector<std::string> TNetworkManagerSource::ProfilesOf(bool (*wanted)(const QString& type)) {
  RegisterTypes();
  TBudgetedBus bus(Bus());
  auto listed = bus.Call(kSettingsPath, kSettingsIface, QStringLiteral("ListConnections"));
  if (!listed || listed->isEmpty()) {
    NoteAnswer(bus);
    return {};
  }
  QList<QString> names;
  for (const QDBusObjectPath& path : ToPaths(listed->first())) {
    auto reply = bus.Call(path.path(), kProfileIface, QStringLiteral("GetSettings"));
    if (!reply || reply->isEmpty()) continue;
    const TConnectionSettings settings =
        qdbus_cast<TConnectionSettings>(reply->first().value<QDBusArgument>());
    const QVariantMap connection = settings.value(QStringLiteral("connection"));
    if (wanted(connection.value(QStringLiteral("type")).toString())) {
      names.push_back(connection.value(QStringLiteral("id")).toString());
    }
  }
  NoteAnswer(bus);
  return ToStrings(names);
}

std::vector<TRasConnection> TNetworkManagerSource::ActiveConnections(bool withLan) {
  TBudgetedBus bus(Bus());
  std::vector<TRasConnection> found;
  std::vector<TRasConnection> lan;
  const QVariant active = bus.Get(kManagerPath, kManagerIface, QStringLiteral("ActiveConnections"));
  for (const QDBusObjectPath& objectPath : ToPaths(active)) {
    const QString path = objectPath.path();
    const QVariantMap props = bus.GetAll(path, kActiveIface);
    const QString type = props.value(QStringLiteral("Type")).toString();
    const bool isLan = withLan && IsLanType(type);
    if (!isLan && !IsDialUpType(type)) continue;

    TRasConnection c;
    c.Handle = path.section(QLatin1Char('/'), -1).toInt();
    c.EntryName = props.value(QStringLiteral("Id")).toString().toStdString();
    c.Status.DeviceType = type.toStdString();

    QVariantMap device;
    const QList<QDBusObjectPath> devices = ToPaths(props.value(QStringLiteral("Devices")));
    if (!devices.isEmpty()) device = bus.GetAll(devices.first().path(), kDeviceIface);
    QString interface = device.value(QStringLiteral("Interface")).toString();
    const QString ipInterface = device.value(QStringLiteral("IpInterface")).toString();
    if (interface.isEmpty()) interface = ipInterface;
    c.Status.DeviceName = interface.toStdString();
    if (ipInterface != interface) c.IpInterface = ipInterface.toStdString();

    const uint state = props.value(QStringLiteral("State")).toUInt();
    const uint deviceState = device.value(QStringLiteral("State")).toUInt();
    if (state == kActiveActivated) {
      c.Status.State = kStateConnected;
    } else if (state == kActiveDeactivating || state == kActiveDeactivated) {
      c.Status.State = kStateDisconnected;
    } else if (state == kActiveActivating) {
      std::optional<std::uint32_t> vpn;
      if (props.value(QStringLiteral("Vpn")).toBool()) {
        vpn = FromVpnState(bus.Get(path, kVpnIface, QStringLiteral("VpnState")).toUInt());
      }
      c.Status.State = vpn ? *vpn : FromDeviceState(deviceState);
    } else {
      c.Status.State = kStateUnknown;
    }
    if (!device.isEmpty() && deviceState == kDeviceFailed) {
      const uint reason = DeviceStateReason(device.value(QStringLiteral("StateReason")));
      c.Status.ErrorCode = reason ? static_cast<int>(reason) : 1;
    }
    (isLan ? lan : found).push_back(std::move(c));
  }
  NoteAnswer(bus);
  lan.insert(lan.end(), std::make_move_iterator(found.begin()),
             std::make_move_iterator(found.end()));
  return lan;
}

void TNetworkManagerSource::NoteAnswer(const TBudgetedBus& bus) {
  // A fresh connection is tried at the next enumeration.
  if (bus.Lost()) LoseBus();
  if (bus.Answered()) {
    if (serviceGone_) qCInfo(lcDialup, "NetworkManager is back on the system bus");
    serviceGone_ = false;
    serviceSeen_ = true;
  } else if (bus.Absent() && serviceSeen_ && !serviceGone_) {
    qCWarning(lcDialup,
              "NetworkManager has left the system bus: its connections are left out "
              "until it is back");
    serviceGone_ = true;
  }
  if (bus.TimedOut() == slow_) return;
  slow_ = bus.TimedOut();
  if (slow_) {
    qCWarning(lcDialup, "NetworkManager did not answer within %d ms: its connections are left out",
              kCallBudgetMs);
  } else {
    qCInfo(lcDialup, "NetworkManager answers again");
  }
}

}  // namespace vantelo::dialup
