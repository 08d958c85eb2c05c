#include "app/relay_reaper.h"

#include <algorithm>

#include "logging/log_categories.h"

namespace vantelo::app {
namespace {

// How often a draining relay is looked at for the end of its last session.
constexpr auto kDrainCheck = std::chrono::milliseconds(100);

void Note(const std::string& line) { qCInfo(lcRoute, "%s", line.c_str()); }

}  // namespace

std::string Sessions(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " session" : " sessions");
}

TRelayReaper::TRelayReaper() : thread_([this] { Run(); }) {}

TRelayReaper::~TRelayReaper() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ending_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TRelayReaper::SetLimits(std::chrono::milliseconds drainTimeLimit, std::size_t maxDraining) {
  std::lock_guard<std::mutex> guard(lock_);
  drainTimeLimit_ = drainTimeLimit;
  maxDraining_ = std::max<std::size_t>(maxDraining, 1);
}

std::size_t TRelayReaper::Drain(TRelay relay, const std::string& route) {
  if (!relay) return 0;
  const std::size_t open = relay->WorkerCount();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (open == 0) {
      stopping_.push_back(std::move(relay));
    } else {
      if (draining_.size() >= maxDraining_) {
        TDraining& oldest = draining_.front();
        Note(Sessions(oldest.relay->WorkerCount()) + " on the route to " + oldest.route +
             " ended: only " + std::to_string(maxDraining_) +
             (maxDraining_ == 1 ? " earlier route may" : " earlier routes may") + " stay open");
        stopping_.push_back(std::move(oldest.relay));
        draining_.erase(draining_.begin());
      }
      draining_.push_back({std::move(relay), route, TClock::now() + drainTimeLimit_});
    }
  }
  wake_.notify_all();
  return open;
}

std::size_t TRelayReaper::End(TRelay relay) {
  if (!relay) return 0;
  const std::size_t open = relay->WorkerCount();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_.push_back(std::move(relay));
  }
  wake_.notify_all();
  return open;
}

std::size_t TRelayReaper::EndAll() {
  std::size_t open = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (TDraining& d : draining_) {
      open += d.relay->WorkerCount();
      stopping_.push_back(std::move(d.relay));
    }
    draining_.clear();
  }
  wake_.notify_all();
  return open;
}

std::size_t TRelayReaper::DrainingCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return draining_.size();
}

void TRelayReaper::Run() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    std::vector<TRelay> stop = std::move(stopping_);
    stopping_.clear();
    std::vector<std::string> lines;
    const TClock::time_point now = TClock::now();
    TClock::time_point next = TClock::time_point::max();
    for (auto it = draining_.begin(); it != draining_.end();) {
      const std::size_t open = it->relay->WorkerCount();
      if (open == 0) {
        lines.push_back("the last session on the route to " + it->route + " has ended");
      } else if (ending_) {
        lines.push_back(Sessions(open) + " on the route to " + it->route +
                        " ended as Vantelo ends");
      } else if (now >= it->until) {
        lines.push_back(Sessions(open) + " on the route to " + it->route +
                        " ended: still open at the time limit for an earlier route");
      } else {
        next = std::min(next, it->until);
        ++it;
        continue;
      }
      stop.push_back(std::move(it->relay));
      it = draining_.erase(it);
    }
    const bool done = ending_ && draining_.empty() && stopping_.empty();
    lock.unlock();
    for (const std::string& line : lines) Note(line);
    Stop(stop);
    lock.lock();
    if (done && stopping_.empty()) return;
    if (!stopping_.empty() || ending_) continue;
    if (draining_.empty()) {
      wake_.wait(lock, [this] { return ending_ || !stopping_.empty() || !draining_.empty(); });
    } else {
      wake_.wait_until(lock, std::min(next, TClock::now() + kDrainCheck));
    }
  }
}

void TRelayReaper::Stop(std::vector<TRelay>& relays) {
  if (relays.empty()) return;
  for (TRelay& relay : relays) relay->WakeAllWorkers();
  int bound = 0;
  for (TRelay& relay : relays) bound = std::max(bound, relay->TerminateWaitTime);
  const auto deadline = TClock::now() + std::chrono::milliseconds(bound);
  for (TRelay& relay : relays) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    relay->TerminateWaitTime = static_cast<int>(std::max<long long>(left, 0));
    relay.reset();
  }
  relays.clear();
}

}  // namespace vantelo::app
