#include "tests/testkit/relay_log_capture.h"

namespace vantelo::testkit {

RelayLogCapture::RelayLogCapture()
    : lines_(std::make_shared<std::pair<std::mutex, std::vector<Line>>>()) {
  relay::SetRelayLogSink([lines = lines_](relay::TRelayLogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> guard(lines->first);
    lines->second.emplace_back(level, line);
  });
}

RelayLogCapture::~RelayLogCapture() { relay::SetRelayLogSink(nullptr); }

std::vector<std::string> RelayLogCapture::Lines(relay::TRelayLogLevel level) {
  std::lock_guard<std::mutex> guard(lines_->first);
  std::vector<std::string> lines;
  for (const auto& [lineLevel, text] : lines_->second) {
    if (lineLevel >= level) lines.push_back(text);
  }
  return lines;
}

std::vector<std::string> RelayLogCapture::LinesWith(std::initializer_list<std::string> parts,
                                                    relay::TRelayLogLevel level) {
  std::vector<std::string> found;
  for (const std::string& line : Lines(level)) {
    bool all = true;
    for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
    if (all) found.push_back(line);
  }
  return found;
}

int CountedLines(const std::vector<std::string>& lines, const std::string& part) {
  static const std::string kMore = " (and ";
  int count = 0;
  for (const std::string& line : lines) {
    if (line.find(part) == std::string::npos) continue;
    ++count;
    const std::size_t more = line.rfind(kMore);
    if (more != std::string::npos && line.find(" more like it", more) != std::string::npos) {
      count += std::stoi(line.substr(more + kMore.size()));
    }
  }
  return count;
}

}  // namespace vantelo::testkit
