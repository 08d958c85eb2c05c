// Connections from NetworkManager on the system bus: the dial-up-like ones
// (VPN, WireGuard, mobile broadband, PPPoE, Bluetooth and ADSL profiles), and
// on request the Wi-Fi and wired ones, which are otherwise the LAN that the
// default route serves.
//
// One enumeration spends at most kCallBudgetMs waiting for the bus, however
// many calls it makes: the route controller asks every second on the GUI
// thread, and a hung NetworkManager must never freeze the window. A service
// that stops answering is logged when it happens and when it answers again.
#pragma once

#include <QString>

#include "dialup/connection_source.h"

namespace vantelo::dialup {

class TNetworkManagerSource : public TConnectionSource {
 public:
  static constexpr int kCallBudgetMs = 500;

  std::vector<std::string> Entries() override;
  std::vector<std::string> LanEntries() override;
  std::vector<TRasConnection> ActiveConnections(bool withLan) override;

  // True for the connection types that count as dial-up.
  static bool IsDialUpType(const QString& type);
  // True for Wi-Fi and wired profiles.
  static bool IsLanType(const QString& type);

 private:
  std::vector<std::string> ProfilesOf(bool (*wanted)(const QString& type));
  void NoteAnswer(bool timedOut);
  bool slow_ = false;
};

}  // namespace vantelo::dialup
