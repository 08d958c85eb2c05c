// Sums up a log line that repeats, so that a burst of one failure (a
// thousand clients meeting the same unreachable server) writes a few lines
// instead of a thousand.
//
// Lines are of one kind when they have the same level and the same text once
// every run of digits is set aside: the addresses and ports that differ from
// one connection to the next. Per kind:
//  - A line with no summing under way is written at once, and opens a window
//    of kWindow; lines of its kind within the window are counted instead.
//  - The first line of any kind after the window has closed (or Flush) writes
//    what was counted: the last counted line itself, with
//    " (and N more like it within a second)" when there were more than one.
//    A kind that is still coming opens its next window with the line that
//    arrived, which is counted, so a steady flood writes one line a second.
//  - A window that closed with nothing counted ends the summing.
// So every line is either written or counted in exactly one summary line.
//
// Not thread-safe: the relay log's sink (log_sink.h) guards it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "relay/log/log_sink.h"

namespace vantelo::relay {

class TRepeatedLines {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr TClock::duration kWindow = std::chrono::seconds(1);
  // Kinds summed at once; a line of another kind beyond them is written as
  // it comes, so memory stays bounded.
  static constexpr std::size_t kMaxKinds = 256;

  struct TLine {
    TRelayLogLevel level;
    std::string text;
    bool operator==(const TLine&) const = default;
  };

  explicit TRepeatedLines(std::function<TClock::time_point()> now = &TClock::now);

  // The lines to write now, in order, for one more line.
  std::vector<TLine> Add(TRelayLogLevel level, const std::string& text);
  // The lines for everything counted so far; the summing then starts afresh.
  std::vector<TLine> Flush();

 private:
  struct TKind {
    std::string key;
    TRelayLogLevel level;
    TClock::time_point windowEnd;
    std::size_t counted = 0;
    std::string last;  // the last line counted
  };
  static TLine Summary(const TKind& kind);

  std::function<TClock::time_point()> now_;
  std::vector<TKind> kinds_;  // in the order they first came, so output is repeatable
};

}  // namespace vantelo::relay
