// The two text rules the settings and routes share: names that match without
// regard to letter case, and texts that become numbers (ports).
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>

namespace vantelo::routing {

// Equal when they differ at most in the letter case of ASCII letters (the
// section and key names of the settings file).
bool SameText(const std::string& a, const std::string& b);

// The number conversion: leading blanks skipped, then decimal digits with an
// optional "-" or "+", or hexadecimal digits after "$", "x", "X", "0x" or "0X"
// (no sign); nothing may follow, not even a blank; the value must fit a signed
// 32-bit integer (hexadecimal too: "$80000000" does not convert). Nothing
// when the text does not convert.
std::optional<int> TextToInt(const std::string& text);

// A port: a text that converts and lies in 1 to 65535. Nothing otherwise, so
// "0", "-5" or "70000" never reach a socket.
std::optional<int> TextToPort(const std::string& text);

}  // namespace vantelo::routing
