// Where a relay goes when the route changes. A relay that has handed its
// listening socket on keeps its open sessions, which finish on the route they
// started on and end as they would have (both sides done, the idle limit, a
// reset). The reaper stops it on its own thread: when its last session has
// ended, when it has drained for DrainTimeLimit, when a newer one would make
// more than MaxDraining, on End/EndAll (Refresh), and at the end.
//
// No operation waits for a stop: every stop runs on the reaper's thread, so
// the window's thread only hands relays over. The destructor ends whatever is
// still draining and joins that thread, within the relays' own stop bounds.
// Lines go to vantelo.route.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/mapped_port/mapped_port_tcp.h"

namespace vantelo::app {

inline constexpr std::chrono::milliseconds kDrainTimeLimit = std::chrono::minutes(10);
inline constexpr std::size_t kMaxDraining = 8;

// "1 session", "3 sessions".
std::string Sessions(std::size_t count);

class TRelayReaper {
 public:
  using TRelay = relay::TOwnedServer<relay::TMappedPortTCP>;

  TRelayReaper();
  ~TRelayReaper();
  TRelayReaper(const TRelayReaper&) = delete;
  TRelayReaper& operator=(const TRelayReaper&) = delete;

  // How long a relay may drain, and how many may drain at once; taken by the
  // next Drain.
  void SetLimits(std::chrono::milliseconds drainTimeLimit, std::size_t maxDraining);

  // Takes a relay that listens no more; its sessions go on. `route` names
  // where they go, for the log. Returns how many sessions it had open: with
  // none it is simply stopped.
  std::size_t Drain(TRelay relay, const std::string& route);
  // Stops a relay now, ending its sessions; returns how many there were.
  std::size_t End(TRelay relay);
  // Ends every draining relay now; returns how many sessions they had.
  std::size_t EndAll();
  std::size_t DrainingCount();

 private:
  using TClock = std::chrono::steady_clock;
  struct TDraining {
    TRelay relay;
    std::string route;
    TClock::time_point until;
  };
  void Run();
  // Wakes every relay's sessions first, so that they end side by side, then
  // stops each within what is left of one stop bound.
  static void Stop(std::vector<TRelay>& relays);

  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<TDraining> draining_;  // oldest first
  std::vector<TRelay> stopping_;     // to stop now
  std::chrono::milliseconds drainTimeLimit_ = kDrainTimeLimit;
  std::size_t maxDraining_ = kMaxDraining;
  bool ending_ = false;
  std::thread thread_;  // last: starts once the rest exists
};

}  // namespace vantelo::app
