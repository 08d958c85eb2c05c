// A seam under the socket layer's system calls, for tests only: it lets a test
// make a call fail as the system would (an accept() error, EMFILE, EINTR) and
// answer name look-ups no resolver knows, where nothing can provoke that from
// outside. The programs never install one; with none installed each wrapped
// call costs one load and one untaken branch.
//
// Install before the relay threads that should see it start, and keep the
// object alive for as long as any relay thread may still run (a test program
// simply never destroys it). Its operations are called on every relay thread
// at once, so they must be thread-safe.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace vantelo::relay {

enum class TSocketCall { Accept, Bind, Poll, Recv };

class TSocketFaults {
 public:
  virtual ~TSocketFaults() = default;
  // Called before the system call; a non-zero errno value makes the call fail
  // with that errno instead of being made. `socket` is the socket the call is
  // for (for Poll the first one watched, or -1), `length` a receive's length.
  virtual int Inject(TSocketCall call, int socket, std::size_t length) = 0;
  // Name look-up of `name` for one family (AF_INET or AF_INET6): true to
  // answer with `addresses` (texts, in resolver order; empty: none found)
  // instead of asking the resolver.
  virtual bool LookUp(const std::string& name, int family, std::vector<std::string>& addresses) = 0;
};

// nullptr removes it.
void SetSocketFaults(TSocketFaults* faults);

namespace detail {
extern std::atomic<TSocketFaults*> gSocketFaults;
}

inline TSocketFaults* InstalledSocketFaults() {
  return detail::gSocketFaults.load(std::memory_order_acquire);
}

}  // namespace vantelo::relay
