#include "relay/server/descriptor_limit.h"

#include <cerrno>
#include <fstream>
#include <string>
#include <sys/resource.h>

#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"

namespace vantelo::relay {
namespace {

// The kernel refuses an unlimited descriptor limit; its own ceiling stands in.
rlim_t KernelCeiling() {
  std::ifstream file("/proc/sys/fs/nr_open");
  unsigned long long value = 0;
  return (file >> value) && value > 0 ? static_cast<rlim_t>(value) : 1048576;
}

std::string Text(rlim_t value) {
  return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

}  // namespace

bool RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    RelayLog(TRelayLogLevel::Warning,
             std::string("cannot read the descriptor limit: ") + ReasonOfErrno(errno));
    return false;
  }
  const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? KernelCeiling() : limit.rlim_max;
  if (limit.rlim_cur == wanted) return true;
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = wanted;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    RelayLog(TRelayLogLevel::Warning, "cannot raise the descriptor limit from " + Text(before) +
                                          " to " + Text(wanted) + " (" + ReasonOfErrno(errno) +
                                          "); the relay may run out at about " +
                                          std::to_string(before / 2) + " connections");
    return false;
  }
  return true;
}

}  // namespace vantelo::relay
