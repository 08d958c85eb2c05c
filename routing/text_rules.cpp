#include "routing/text_rules.h"

#include <climits>

namespace vantelo::routing {
namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int DigitValue(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::optional<int> TextToInt(const std::string& text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos) return std::nullopt;
  int base = 10;
  bool negative = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    base = 16;
    i += 1;
  } else if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
    base = 16;
    i += 2;
  } else if (text[i] == '-' || text[i] == '+') {
    negative = text[i] == '-';
    i += 1;
  }
  if (i == text.size()) return std::nullopt;
  // The magnitude may reach INT_MAX, or one more for a negative decimal.
  const long long limit = static_cast<long long>(INT_MAX) + (negative ? 1 : 0);
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

std::optional<int> TextToPort(const std::string& text) {
  std::optional<int> value = TextToInt(text);
  if (!value || *value < 1 || *value > 65535) return std::nullopt;
  return value;
}

}  // namespace vantelo::routing
