// Connections from NetworkManager on the system bus: the dial-up-like ones
// (VPN, WireGuard, mobile broadband, PPPoE, Bluetooth and ADSL profiles), and
// on request the Wi-Fi and wired ones, which are otherwise the LAN that the
// default route serves.
//
// One enumeration spends at most kCallBudgetMs waiting for the bus, however
// many calls it makes: the route controller asks every second on the GUI
// thread, and a hung NetworkManager must never freeze the window.
//
// Each source keeps its own connection to the system bus. When the bus goes
// away (it restarts), the connection is dropped and a fresh one is tried at
// every later enumeration until one is made. Logged (vantelo.dialup) when it
// starts and when it clears, not at every enumeration: a bus that cannot be
// reached, NetworkManager leaving the bus, and a service that stops answering.
//
// Watched for changes, it follows NetworkManager's signals on every bus
// connection it makes, from the first enumeration on.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "dialup/connection_source.h"

namespace vantelo::dialup {

class TBudgetedBus;
class TNetworkManagerSignals;

class TNetworkManagerSource : public TConnectionSource {
 public:
  static constexpr int kCallBudgetMs = 500;

  TNetworkManagerSource();
  ~TNetworkManagerSource() override;  // closes its bus connection
  TNetworkManagerSource(const TNetworkManagerSource&) = delete;
  TNetworkManagerSource& operator=(const TNetworkManagerSource&) = delete;

  std::vector<std::string> Entries() override;
  std::vector<std::string> LanEntries() override;
  std::vector<TRasConnection> ActiveConnections(bool withLan) override;
  void WatchChanges(std::function<void()> changed) override;

  // True for the connection types that count as dial-up.
  static bool IsDialUpType(const QString& type);
  // True for Wi-Fi and wired profiles.
  static bool IsLanType(const QString& type);

 private:
  std::vector<std::string> ProfilesOf(bool (*wanted)(const QString& type));
  // The name of a live connection to the system bus: the one in use, or a
  // fresh one when that was lost. Empty when the bus cannot be reached now.
  QString Bus();
  // Drops the connection in use; LoseBus also logs that it broke.
  void LoseBus();
  void DropBus();
  // Logs what changed since the last enumeration, and drops a lost bus.
  void NoteAnswer(const TBudgetedBus& bus);

  QString busName_;           // the connection in use; empty when none
  bool busMissing_ = false;   // logged: no connection to the bus
  bool serviceSeen_ = false;  // NetworkManager answered at least once
  bool serviceGone_ = false;  // logged: it left the bus
  bool slow_ = false;         // logged: it did not answer in time
  // Its signals followed, while the source is watched for changes.
  std::unique_ptr<TNetworkManagerSignals> watch_;
};

}  // namespace vantelo::dialup
