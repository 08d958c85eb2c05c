// The route controller: once a second it learns which dial-up entry is
// connected and, when that changes between "an entry is connected" and "none
// is", restarts the relay towards the entry's route or the default route.
// Refresh applies the route that fits the last tick's state at once. When
// the dial-up monitor can tell of a change (NetworkManager), the same
// decision runs then too, without waiting for the tick.
//
// It lives with the main window, which owns the relay, the thread manager and
// the route store and hands them in, and binds the hooks to the dial-up
// monitor and to its own list and notice. GUI thread only. No operation lets
// an error reach its caller; what it swallows goes to the log (vantelo.route,
// vantelo.store).
//
// Beyond the plain state machine:
// - A tick that sees "Connected" for another entry than the one whose route
//   is in force acts as a change of state (a direct switch, say from one VPN
//   to another, with no tick in between that saw none).
// - A connected entry without a complete route gets the default route (when
//   that is complete), not whatever upstream was in force before.
// - The relay listens on 127.0.0.1 only, unless [dial] remoteclients is "1".
// - An apply that failed for a reason that may pass (the listening port
//   taken or not allowed, the route file busy) is tried again every
//   kRetryInterval while the dial-up state stays as it is. A retry repeats
//   that apply with the values it read, so a route or setting saved meanwhile
//   still waits for Refresh or a change of state. Such a failure is logged
//   when it first happens and when it clears, not at every try.
// - A route change never refuses or cuts a connection. The new relay takes
//   the listening socket over from the old one when the address and port
//   stay (a client connecting meanwhile waits in the backlog), or binds its
//   own before the old one closes. The old relay hands its open sessions to
//   the relay reaper, where they finish on the route they started on. A
//   Refresh ends them instead, and says how many. Nothing here waits for a
//   relay to stop: the reaper's thread does that.
// - When the upstream and the listening socket would stay as they are (say,
//   a connected entry without a route of its own while the default route is
//   in force), the running relay is left alone, on Refresh too.
// - A route that applies but cannot be used (its port or server text can
//   never work) sends nothing to any server: the port answers each client
//   "421 4.3.5" with the reason, and the log says so once. A listening port
//   that is no port keeps the running relay when its upstream stays, and
//   otherwise answers so on the old port.
// - Each relay gets its own password source (PasswordsFor). A route with a
//   login that other computers may use says so in the log when it starts:
//   they all send with that login.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/relay_reaper.h"
#include "relay/mapped_port/mapped_port_tcp.h"
#include "routing/route_store.h"

namespace vantelo::app {

// Only this exact text counts as connected.
inline constexpr const char* kConnectedStatus = "Connected";
inline constexpr const char* kConfigChangedNotice =
    "*New configuration is not active until you refresh";
inline constexpr std::chrono::seconds kRetryInterval{5};
// Where the relay listens unless other computers are let in.
inline constexpr const char* kThisComputerOnly = "127.0.0.1";

class TRouteController {
 public:
  using TClock = std::chrono::steady_clock;

  struct THooks {
    // Asks the dial-up monitor for the active connections; each one reported
    // must reach DialUpActiveConnection before it returns.
    std::function<void()> GetActiveConnections;
    // Rebuilds the route list view (updatesmtp).
    std::function<void()> updatesmtp;
    // Shows or hides the config-changed notice.
    std::function<void(bool shown)> ShowConfigNotice;
    // The clock of the retries; the steady clock when empty (tests step it).
    std::function<TClock::time_point()> Now;
    // The password source of each new relay, given the route's name for a
    // person (the entry's, or "default route"); none when empty.
    std::function<std::shared_ptr<relay::TPasswordSource>(const std::string& routeName)>
        PasswordsFor;
  };

  TRouteController(routing::TRouteStore& store, relay::TOwnedServer<relay::TMappedPortTCP>& relay,
                   std::shared_ptr<relay::TThreadMgrDefault> threadMgr, THooks hooks);

  void Timer3Timer();        // the tick
  void SpeedButton2Click();  // Refresh
  // The dial-up monitor says the connections changed: the tick's decision
  // at once, which does nothing when nothing changed.
  void ConnectionsChanged();
  // At the end: stops the current relay and every draining one side by
  // side, and waits for them within the relays' stop bounds. The window's
  // destruction calls it.
  void EndEveryRelay();
  // How long a relay whose route was replaced may go on with its sessions,
  // and how many such relays may at once (the oldest goes first); from the
  // next route change on.
  void SetDrainLimits(std::chrono::milliseconds timeLimit, std::size_t maxDraining);
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
  // Set where the program runs without a display: the log's advice then
  // names config.ini and SIGHUP instead of the Config and Refresh buttons.
  bool Windowless = false;

 private:
  // How an apply ended.
  enum class TOutcome {
    Restarted,  // a new relay listens
    Unchanged,  // no complete route: the relay goes on as it was
    Failed,     // a fault that more tries cannot mend: nothing is retried
    TryAgain,   // a fault that may pass: retried every kRetryInterval
  };
  // What failed last with TryAgain, so that a retry failing the same way is
  // not logged again, and its clearing is.
  enum class TPassingFault { None, Listening, RouteFile };

  // What an apply read for the relay it starts: a retry starts it again
  // with these, not with what the files hold by then.
  struct TRelayPlan {
    std::string listeningPort;  // as read, not yet converted
    std::string server;
    std::string port;  // as read, not yet converted
    bool remoteClients = false;
    std::string routeName;  // for the log: "default route", "entry ..."
    std::string entry;      // the entry's name; empty for the default route
  };

  TOutcome ApplyEntryRoute(const std::string& entry);
  // The route lookup of ApplyEntryRoute, with the listening port it read.
  TOutcome LookUpEntryRoute(const std::string& entry, const std::string& listeningPort);
  TOutcome ApplyDefaultRoute();
  TOutcome RestartRelay(const TRelayPlan& plan);
  // True when the current relay listens on ip:port and relays to server:port.
  bool Serves(const std::string& ip, int listenPort, const std::string& server, int port) const;
  // Puts `next` in place of the current relay on ip:port: on the current
  // relay's listening socket when it listens there, else on a socket of its
  // own, bound before the current one closes. The current relay then
  // drains (ends, on Refresh). Raises, leaving the current relay as it was,
  // when `next` cannot listen.
  void Replace(relay::TOwnedServer<relay::TMappedPortTCP> next, const std::string& route,
               const std::string& ip, int listenPort);
  // When the current relay listens but its route no longer applies and the
  // new one cannot start: it is replaced, on its own socket, by one that
  // answers `reply`. Returns what happens to the port, for the log line.
  std::string RefuseOnCurrentPort(const std::string& reply);
  relay::TOwnedServer<relay::TMappedPortTCP> NewRelay(int listenPort, bool remoteClients) const;
  // [dial] smtpport, logging when the file stops giving it (the relay then
  // listens on the default port) and when it gives it again.
  std::string ReadListeningPort();
  // What happens to the relay when an apply stops before a restart.
  std::string RelayLeftAsIs() const;
  // Runs an apply, then schedules or cancels the retry that the apply left
  // in retry_ when it ended with TryAgain.
  void Apply(const std::function<TOutcome()>& apply);
  void RetryIfDue();
  // Logs a fault that may pass, unless a retry failed just the same way.
  void NoteFault(TPassingFault fault, const std::string& line);
  // Logs that `fault` has cleared, if it was the one failing.
  void NoteCleared(TPassingFault fault);
  void Guarded(const std::function<void()>& body);
  TClock::time_point Now() const;

  routing::TRouteStore& store_;
  relay::TOwnedServer<relay::TMappedPortTCP>& relay_;
  std::shared_ptr<relay::TThreadMgrDefault> threadMgr_;
  THooks hooks_;

  TRelayReaper reaper_;
  std::string relayRoute_;   // where the current relay sends mail, for the log
  bool refreshing_ = false;  // an apply running for Refresh
  std::size_t endedByRefresh_ = 0;
  std::string routeEntry_;           // the entry whose route was applied last
  std::function<TOutcome()> retry_;  // the failed step with its values, while retried
  TClock::time_point retryAt_{};
  bool retrying_ = false;  // an apply running as a retry
  TPassingFault fault_ = TPassingFault::None;
  std::string faultLine_;       // the line logged for fault_
  std::string listeningOn_;     // the last address logged as listened on
  bool portDefaulted_ = false;  // logged: the file gives no [dial] smtpport
  bool portSeen_ = false;       // the file gave [dial] smtpport at least once
};

}  // namespace vantelo::app
