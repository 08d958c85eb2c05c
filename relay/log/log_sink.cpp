#include "relay/log/log_sink.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "relay/log/log_repeats.h"

namespace vantelo::relay {
namespace {

std::mutex sinkLock;  // guards currentSink and repeats
// Held by shared_ptr so a line being written keeps its sink alive while
// another thread replaces it.
std::shared_ptr<const TRelayLogSink> currentSink;
TRepeatedLines repeats;

void Write(const std::shared_ptr<const TRelayLogSink>& sink,
           const std::vector<TRepeatedLines::TLine>& lines) {
  if (!sink) return;
  for (const auto& line : lines) (*sink)(line.level, line.text);
}

// The length of the well-formed UTF-8 sequence at text[i] (a lead byte of
// 0x80 or more), or 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = at(0);
  std::size_t n;
  unsigned char low = 0x80, high = 0xbf;  // the allowed range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3;
    if (lead == 0xe0) low = 0xa0;   // no overlong forms
    if (lead == 0xed) high = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size() || at(1) < low || at(1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (at(k) < 0x80 || at(k) > 0xbf) return 0;
  }
  return n;
}

}  // namespace

void SetRelayLogSink(TRelayLogSink sink) {
  auto replacement = sink ? std::make_shared<const TRelayLogSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const TRelayLogSink> previous;
  std::vector<TRepeatedLines::TLine> pending;
  {
    std::lock_guard<std::mutex> lock(sinkLock);
    pending = repeats.Flush();
    previous = std::exchange(currentSink, std::move(replacement));
  }
  Write(previous, pending);
}

void RelayLog(TRelayLogLevel level, const std::string& line) {
  const std::string text = EscapeControls(line);
  std::shared_ptr<const TRelayLogSink> sink;
  std::vector<TRepeatedLines::TLine> lines;
  {
    std::lock_guard<std::mutex> lock(sinkLock);
    if (!currentSink) return;
    sink = currentSink;
    lines = repeats.Add(level, text);
  }
  Write(sink, lines);
}

void FlushRelayLog() {
  std::shared_ptr<const TRelayLogSink> sink;
  std::vector<TRepeatedLines::TLine> lines;
  {
    std::lock_guard<std::mutex> lock(sinkLock);
    sink = currentSink;
    lines = repeats.Flush();
  }
  Write(sink, lines);
}

std::string EscapeControls(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  auto hexEscape = [&](const char* prefix, unsigned char c) {
    escaped += prefix;
    escaped += kHex[c >> 4];
    escaped += kHex[c & 0xf];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      escaped += static_cast<char>(c);
      ++i;
    } else if (c == '\n' || c == '\r' || c == '\t') {
      escaped += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++i;
    } else if (c < 0x80) {
      hexEscape("\\x", c);  // the other C0 characters and DEL
      ++i;
    } else if (std::size_t n = Utf8Length(text, i); n == 0) {
      hexEscape("\\x", c);  // not UTF-8: written as the byte it is
      ++i;
    } else if (n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // A C1 control: a terminal may take U+009B for the start of an escape.
      hexEscape("\\u00", static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      escaped.append(text.substr(i, n));
      i += n;
    }
  }
  return escaped;
}

}  // namespace vantelo::relay
