#include "relay/log/log_repeats.h"

#include <utility>

#include "relay/log/log_sink.h"

namespace vantelo::relay {
namespace {

std::string KindOf(TRelayLogLevel level, const std::string& text) {
  std::string kind(1, static_cast<char>('0' + static_cast<int>(level)));
  kind.reserve(text.size() + 1);
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit) {
      kind += c;
    } else if (kind.back() != '#') {
      kind += '#';
    }
  }
  return kind;
}

}  // namespace

TRepeatedLines::TRepeatedLines(std::function<TClock::time_point()> now) : now_(std::move(now)) {}

TRepeatedLines::TLine TRepeatedLines::Summary(const TKind& kind) {
  if (kind.counted == 1) return {kind.level, kind.last};
  return {kind.level, kind.last + " (and " + std::to_string(kind.counted - 1) +
                          " more like it within a second)"};
}

std::vector<TRepeatedLines::TLine> TRepeatedLines::Add(TRelayLogLevel level,
                                                       const std::string& text) {
  std::vector<TLine> lines;
  const TClock::time_point now = now_();
  const std::string key = KindOf(level, text);
  TKind* same = nullptr;
  // Close every window that is over, writing what it counted.
  for (auto it = kinds_.begin(); it != kinds_.end();) {
    if (now >= it->windowEnd) {
      if (it->counted == 0) {
        it = kinds_.erase(it);
        continue;
      }
      lines.push_back(Summary(*it));
      if (it->key != key) {
        it = kinds_.erase(it);
        continue;
      }
      // Still coming: the next window starts with this line.
      it->windowEnd = now + kWindow;
      it->counted = 0;
    }
    if (it->key == key) same = &*it;
    ++it;
  }
  if (same) {
    ++same->counted;
    same->last = text;
    return lines;
  }
  lines.push_back({level, text});
  if (kinds_.size() < kMaxKinds) kinds_.push_back(TKind{key, level, now + kWindow, 0, {}});
  return lines;
}

std::vector<TRepeatedLines::TLine> TRepeatedLines::Flush() {
  std::vector<TLine> lines;
  for (const TKind& kind : kinds_) {
    if (kind.counted > 0) lines.push_back(Summary(kind));
  }
  kinds_.clear();
  return lines;
}

}  // namespace vantelo::relay
