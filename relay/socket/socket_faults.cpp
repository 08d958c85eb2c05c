#include "relay/socket/socket_faults.h"

namespace vantelo::relay {

namespace detail {
std::atomic<TSocketFaults*> gSocketFaults{nullptr};
}

void SetSocketFaults(TSocketFaults* faults) {
  detail::gSocketFaults.store(faults, std::memory_order_release);
}

}  // namespace vantelo::relay
