// Errors injected under the relay's system calls, and names answered without
// a resolver. Installed once per test program and never removed, so that a
// relay thread still ending after its test never meets a dangling seam; with
// no rule set it changes nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "relay/socket/socket_faults.h"

namespace vantelo::testkit {

class InjectedFaults : public relay::TSocketFaults {
 public:
  using Rule = std::function<int(relay::TSocketCall call, int socket, std::size_t length)>;
  static InjectedFaults& Get();

  // The rule each wrapped call asks (0: make the call; else fail with that
  // errno). An empty rule removes it.
  void SetRule(Rule rule);
  // Look-ups of `name` answer these addresses (per family) instead.
  void SetName(const std::string& name, std::vector<std::string> ipv4,
               std::vector<std::string> ipv6);
  void ClearNames();

  int Inject(relay::TSocketCall call, int socket, std::size_t length) override;
  bool LookUp(const std::string& name, int family, std::vector<std::string>& addresses) override;

 private:
  std::atomic<bool> hasRule_{false};
  std::mutex lock_;
  std::shared_ptr<Rule> rule_;
  std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::string>>> names_;
};

// Sets a rule for its own lifetime.
class ScopedFault {
 public:
  explicit ScopedFault(InjectedFaults::Rule rule) {
    InjectedFaults::Get().SetRule(std::move(rule));
  }
  ~ScopedFault() { InjectedFaults::Get().SetRule(nullptr); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

}  // namespace vantelo::testkit
