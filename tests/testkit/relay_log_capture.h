// The relay's log as its sink receives it, kept while a RelayLogCapture
// lives (it takes the sink over, and gives it up on destruction). Lines from
// any relay thread are kept, each with its level.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "relay/log/log_sink.h"

namespace vantelo::testkit {

class RelayLogCapture {
 public:
  RelayLogCapture();
  ~RelayLogCapture();
  RelayLogCapture(const RelayLogCapture&) = delete;
  RelayLogCapture& operator=(const RelayLogCapture&) = delete;

  // The lines at `level` or above.
  std::vector<std::string> Lines(relay::TRelayLogLevel level = relay::TRelayLogLevel::Debug);
  // Lines that contain every one of `parts`.
  std::vector<std::string> LinesWith(std::initializer_list<std::string> parts,
                                     relay::TRelayLogLevel level = relay::TRelayLogLevel::Debug);
  // The lines the program's log shows by default (Info and Warning).
  std::vector<std::string> Shown() { return Lines(relay::TRelayLogLevel::Info); }

 private:
  using Line = std::pair<relay::TRelayLogLevel, std::string>;
  std::shared_ptr<std::pair<std::mutex, std::vector<Line>>> lines_;
};

// How many log lines containing `part` these lines stand for: one each, and
// the N more of each line that sums up repeats ("(and N more like it ...").
int CountedLines(const std::vector<std::string>& lines, const std::string& part);

}  // namespace vantelo::testkit
