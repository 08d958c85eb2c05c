// A private D-Bus daemon with python-dbusmock's NetworkManager on it, standing
// in for the system bus. The daemon lives for the whole test program unless a
// test restarts it (on the same socket, as a system bus restarts); the mock
// can be restarted per test.
//
// Start() must run before anything touches QDBusConnection::systemBus(): it
// points DBUS_SYSTEM_BUS_ADDRESS at the private daemon.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <string>
#include <sys/types.h>
#include <thread>

namespace vantelo::testkit {

class NetworkManagerMock {
 public:
  // Starts the private bus (once per program) and a fresh mock on it.
  static void StartBus();
  static void StopBus();
  // Ends the daemon and starts a new one on the same socket; the mock, if
  // any, must be ended first.
  static void RestartBus();
  NetworkManagerMock();   // starts the mock
  ~NetworkManagerMock();  // ends it

  // Helpers of the mock, returning object paths.
  QString AddDevice(const QString& name, const QString& interface, uint state = 100);
  QString AddProfile(const QString& id, const QString& type);
  QString Activate(const QString& device, const QString& profile, const QString& name, uint state);
  void Deactivate(const QString& device, const QString& active);
  void SetProperty(const QString& path, const QString& iface, const QString& name,
                   const QVariant& value);
  // Sends a signal from the object at `path`, as NetworkManager would.
  void EmitSignal(const QString& path, const QString& iface, const QString& name,
                  const QString& signature, const QVariantList& args);
  void Pause();   // SIGSTOP: the service stops answering
  void Resume();  // SIGCONT

 private:
  QVariant CallMock(const QString& path, const QString& method, const QVariantList& args);
  QVariant Call(const QString& path, const QString& iface, const QString& method,
                const QVariantList& args);
  pid_t pid_ = -1;
  std::thread drain_;
};

}  // namespace vantelo::testkit
