#include "tests/testkit/nm_mock.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMap>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/testkit/child_process.h"

using TMockSettings = QMap<QString, QVariantMap>;
Q_DECLARE_METATYPE(TMockSettings)

namespace vantelo::testkit {
namespace {

pid_t gBusPid = -1;
std::string gBusFolder;

const QString kService = "org.freedesktop.NetworkManager";
const QString kMockIface = "org.freedesktop.DBus.Mock";

// The test's own connection to the private bus, made again after a restart
// (Qt's systemBus() stays broken once its bus is gone).
QDBusConnection TestBus() {
  static int made = 0;
  static QString name;
  if (!name.isEmpty() && QDBusConnection(name).isConnected()) return QDBusConnection(name);
  if (!name.isEmpty()) QDBusConnection::disconnectFromBus(name);
  name = QString("vantelo-test-bus-%1").arg(++made);
  return QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
}

bool NameHasOwner() {
  QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner");
  m << kService;
  QDBusMessage r = TestBus().call(m, QDBus::Block, 1000);
  return r.type() == QDBusMessage::ReplyMessage && r.arguments().value(0).toBool();
}

}  // namespace

namespace {

void StartDaemon() {
  const std::string config = gBusFolder + "/bus.conf";
  const TestChild bus = StartChild(
      {"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"},
      ChildPipes{.output = true});
  gBusPid = bus.pid;
  const int out = bus.out;
  std::string address;
  char c;
  while (read(out, &c, 1) == 1 && c != '\n') address += c;
  close(out);
  if (address.empty()) throw std::runtime_error("private dbus-daemon did not start");
}

}  // namespace

void NetworkManagerMock::StartBus() {
  if (gBusPid > 0) return;
  qDBusRegisterMetaType<TMockSettings>();
  char folder[] = "/tmp/vantelo-bus-XXXXXX";
  gBusFolder = mkdtemp(folder);
  const std::string config = gBusFolder + "/bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n  <type>system</type>\n"
         "  <listen>unix:path="
      << gBusFolder
      << "/bus</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "  </policy>\n</busconfig>\n";
  StartDaemon();
  // The socket alone, without the daemon's guid, as the real system bus is
  // named: a restarted daemon has another guid.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + gBusFolder + "/bus").c_str(), 1);
}

void NetworkManagerMock::RestartBus() {
  EndChild(gBusPid);
  unlink((gBusFolder + "/bus").c_str());
  StartDaemon();
}

void NetworkManagerMock::StopBus() {
  EndChild(gBusPid);
  if (!gBusFolder.empty()) std::system(("rm -rf '" + gBusFolder + "'").c_str());
}

NetworkManagerMock::NetworkManagerMock() {
  StartBus();
  const TestChild mock =
      StartChild({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "networkmanager"},
                 ChildPipes{.output = true});
  pid_ = mock.pid;
  const int out = mock.out;
  // The mock logs every signal on its output; nobody needs to read it.
  drain_ = std::thread([out] {
    char buffer[4096];
    while (read(out, buffer, sizeof buffer) > 0) {
    }
    close(out);
  });
  for (int i = 0; i < 250 && !NameHasOwner(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!NameHasOwner()) throw std::runtime_error("NetworkManager mock did not start");
}

NetworkManagerMock::~NetworkManagerMock() {
  EndChild(pid_);
  drain_.join();
  for (int i = 0; i < 100 && NameHasOwner(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

QVariant NetworkManagerMock::CallMock(const QString& path, const QString& method,
                                      const QVariantList& args) {
  return Call(path, kMockIface, method, args);
}

QVariant NetworkManagerMock::Call(const QString& path, const QString& iface, const QString& method,
                                  const QVariantList& args) {
  QDBusMessage m = QDBusMessage::createMethodCall(kService, path, iface, method);
  m.setArguments(args);
  QDBusMessage r = TestBus().call(m, QDBus::Block, 5000);
  if (r.type() != QDBusMessage::ReplyMessage) {
    throw std::runtime_error(("mock " + method + ": " + r.errorMessage()).toStdString());
  }
  return r.arguments().value(0);
}

QString NetworkManagerMock::AddDevice(const QString& name, const QString& interface, uint state) {
  return CallMock("/org/freedesktop", "AddEthernetDevice",
                  {name, interface, static_cast<int>(state)})
      .toString();
}

QString NetworkManagerMock::AddProfile(const QString& id, const QString& type) {
  TMockSettings settings;
  settings["connection"] = QVariantMap{{"id", id}, {"type", type}};
  QVariant arg = QVariant::fromValue(settings);
  QVariant path = Call("/org/freedesktop", "org.freedesktop.NetworkManager.Settings",
                       "SettingsAddConnection", {arg});
  return path.value<QDBusObjectPath>().path();
}

QString NetworkManagerMock::Activate(const QString& device, const QString& profile,
                                     const QString& name, uint state) {
  return CallMock("/org/freedesktop", "AddActiveConnection",
                  {QStringList{device}, profile, QString("/"), name, state})
      .toString();
}

void NetworkManagerMock::Deactivate(const QString& device, const QString& active) {
  CallMock("/org/freedesktop", "RemoveActiveConnection", {device, active});
}

void NetworkManagerMock::SetProperty(const QString& path, const QString& iface, const QString& name,
                                     const QVariant& value) {
  CallMock(path, "UpdateProperties", {iface, QVariantMap{{name, value}}});
}

void NetworkManagerMock::EmitSignal(const QString& path, const QString& iface, const QString& name,
                                    const QString& signature, const QVariantList& args) {
  QVariantList variants;
  for (const QVariant& arg : args) variants.push_back(QVariant::fromValue(QDBusVariant(arg)));
  CallMock(path, "EmitSignal", {iface, name, signature, variants});
}

void NetworkManagerMock::Pause() { kill(pid_, SIGSTOP); }
void NetworkManagerMock::Resume() { kill(pid_, SIGCONT); }

}  // namespace vantelo::testkit
