#include "ui/tips.h"

#include <algorithm>

#include "routing/text_file.h"

namespace vantelo::ui {

std::vector<std::string> ParseTips(const std::string& text) {
  std::vector<std::string> tips;
  std::string current;
  const std::size_t end = std::min(text.find('\0'), text.size());
  std::size_t i = 0;
  while (i < end) {
    std::size_t lineEnd = i;
    while (lineEnd < end && text[lineEnd] != '\r' && text[lineEnd] != '\n') ++lineEnd;
    const std::string line = text.substr(i, lineEnd - i);
    if (line == "#") {
      tips.push_back(current);
      current.clear();
    } else if (!line.empty()) {
      current += line;
      current += '\n';
    }
    // Past the line end: CR LF, CR or LF.
    i = lineEnd;
    if (i < end && text[i] == '\r' && i + 1 < end && text[i + 1] == '\n') ++i;
    ++i;
  }
  return tips;
}

std::vector<std::string> ReadTipsFile(const std::string& path, const std::string& name) {
  // Bounded and never blocking: a folder, a FIFO or a device is no tips file.
  const routing::TTextFile file = routing::ReadTextFile(path);
  if (file.state != routing::TTextFile::Read) {
    throw ETipsFileError("Cannot open file " + name,
                         file.state == routing::TTextFile::Missing ? "no such file" : file.problem);
  }
  return ParseTips(file.text);
}

std::uint32_t TTipRandom::Draw(std::uint32_t n) {
  seed_ = seed_ * 134775813u + 1u;
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(seed_) * n) >> 32);
}

std::uint32_t TimeOfDaySeed(int hour, int minute, int second, int millisecond) {
  return static_cast<std::uint32_t>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond);
}

int FirstTip(std::uint32_t seed, int lastIndex) {
  TTipRandom random(seed);
  int index = 0;
  for (int draw = 0; draw < 5; ++draw) {
    index = static_cast<int>(random.Draw(static_cast<std::uint32_t>(lastIndex + 1)));
  }
  return index;
}

}  // namespace vantelo::ui
