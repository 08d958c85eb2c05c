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

std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    line += (c == '\r' || c == '\n') ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace vantelo::relay
