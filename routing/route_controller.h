// The route controller: once a second it learns which dial-up entry is
// connected and, when that changes between "an entry is connected" and "none
// is", restarts the relay towards the entry's route or the default route.
// Refresh applies the route that fits the last tick's state at once.
//
// It lives with the main window, which owns the relay, the thread manager and
// the route store and hands them in, and binds the hooks to the dial-up
// monitor and to its own list and notice. GUI thread only. No operation lets
// an error reach its caller.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "relay/mapped_port/mapped_port_tcp.h"
#include "routing/route_store.h"

namespace vantelo::routing {

// Only this exact text counts as connected.
inline constexpr const char* kConnectedStatus = "Connected";
inline constexpr const char* kConfigChangedNotice =
    "*New configuration is not active until you refresh";

class TRouteController {
 public:
  struct THooks {
    // Asks the dial-up monitor for the active connections; each one reported
    // must reach DialUpActiveConnection before it returns.
    std::function<void()> GetActiveConnections;
    // Rebuilds the route list view (updatesmtp).
    std::function<void()> updatesmtp;
    // Shows or hides the config-changed notice.
    std::function<void(bool shown)> ShowConfigNotice;
  };

  TRouteController(TRouteStore& store, relay::TOwnedServer<relay::TMappedPortTCP>& relay,
                   std::shared_ptr<relay::TThreadMgrDefault> threadMgr, THooks hooks);

  void Timer3Timer();         // the tick
  void SpeedButton2Click();   // Refresh
  void executesmtp(const std::string& entry);
  void executedefaultsmtp();
  // Reports from the dial-up monitor.
  void DialUpActiveConnection(const std::string& entryName, const std::string& statusString);
  void isilventry(const std::string& entryName);

  // State, read by the windows.
  std::string ActiveEntry;       // "--" when the last tick saw no connection
  std::string ConnectionStatus;  // status text of that connection
  std::vector<std::string> EntryList;
  int RouteApplied = 0;
  int DefaultApplied = 0;
  int ConfigChanged = 0;  // set by the configuration dialog when it saves
  std::string ListeningPort;
  std::string DefaultServer;
  std::string DefaultPortText;

 private:
  void RestartRelay(const std::string& server, const std::string& port);
  void Guarded(const std::function<void()>& body);

  TRouteStore& store_;
  relay::TOwnedServer<relay::TMappedPortTCP>& relay_;
  std::shared_ptr<relay::TThreadMgrDefault> threadMgr_;
  THooks hooks_;
};

}  // namespace vantelo::routing
