// Dial-up-like connections from NetworkManager on the system bus: VPN,
// WireGuard, mobile broadband, PPPoE, Bluetooth and ADSL profiles. Ethernet
// and Wi-Fi are the LAN, which the default route serves, so they are left out.
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
  std::vector<TRasConnection> ActiveConnections() override;

  // True for the connection types that count as dial-up.
  static bool IsDialUpType(const QString& type);

 private:
  void NoteAnswer(bool timedOut);
  bool slow_ = false;
};

}  // namespace vantelo::dialup
