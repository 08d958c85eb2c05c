#include "relay/log_sink.h"

#include <memory>
#include <mutex>

namespace vantelo::relay {
namespace {

std::mutex sinkLock;
// Held by shared_ptr so a line being written keeps its sink alive while
// another thread replaces it.
std::shared_ptr<const TRelayLogSink> currentSink;

}  // namespace

void SetRelayLogSink(TRelayLogSink sink) {
  auto replacement = sink ? std::make_shared<const TRelayLogSink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> lock(sinkLock);
  currentSink = std::move(replacement);
}

void RelayLog(TRelayLogLevel level, const std::string& line) {
  std::shared_ptr<const TRelayLogSink> sink;
  {
    std::lock_guard<std::mutex> lock(sinkLock);
    sink = currentSink;
  }
  if (sink) (*sink)(level, line);
}

}  // namespace vantelo::relay
