#include "tests/testkit/injected_faults.h"

#include <sys/socket.h>

namespace vantelo::testkit {

InjectedFaults& InjectedFaults::Get() {
  // Never destroyed: relay threads of an earlier test may still be ending.
  static InjectedFaults* faults = [] {
    auto* f = new InjectedFaults;
    relay::SetSocketFaults(f);
    return f;
  }();
  return *faults;
}

void InjectedFaults::SetRule(Rule rule) {
  std::lock_guard<std::mutex> guard(lock_);
  rule_ = rule ? std::make_shared<Rule>(std::move(rule)) : nullptr;
  hasRule_ = rule_ != nullptr;
}

void InjectedFaults::SetName(const std::string& name, std::vector<std::string> ipv4,
                             std::vector<std::string> ipv6) {
  std::lock_guard<std::mutex> guard(lock_);
  names_[name] = {std::move(ipv4), std::move(ipv6)};
}

void InjectedFaults::ClearNames() {
  std::lock_guard<std::mutex> guard(lock_);
  names_.clear();
}

int InjectedFaults::Inject(relay::TSocketCall call, int socket, std::size_t length) {
  if (!hasRule_) return 0;
  std::shared_ptr<Rule> rule;
  {
    std::lock_guard<std::mutex> guard(lock_);
    rule = rule_;
  }
  return rule ? (*rule)(call, socket, length) : 0;
}

bool InjectedFaults::LookUp(const std::string& name, int family,
                            std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = names_.find(name);
  if (it == names_.end()) return false;
  addresses = family == AF_INET6 ? it->second.second : it->second.first;
  return true;
}

}  // namespace vantelo::testkit
