// The tips file and the draw of the first tip, apart from the window so both
// can be checked on their own.
//
// The tips file is bytes: a line ends at CR LF, LF or CR, and a NUL ends the
// text. A line holding exactly "#" closes a tip (even an empty one); every
// other non-empty line adds its text and one LF to the tip being read; empty
// lines add nothing; text after the last "#" is never a tip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantelo::ui {

// The tips in `text`, in file order.
std::vector<std::string> ParseTips(const std::string& text);

// Raised by ReadTipsFile when the file cannot be read: what() is the text
// for the error box, Reason() why, for the log.
class ETipsFileError : public std::exception {
 public:
  ETipsFileError(std::string message, std::string reason)
      : message_(std::move(message)), reason_(std::move(reason)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Reason() const { return reason_; }

 private:
  std::string message_;
  std::string reason_;
};

// Reads and parses the file at `path`; `name` is how messages call it. A file
// that is missing, unreadable, not a regular file or over 16 MiB raises
// "Cannot open file NAME", with the reason ("no such file", "larger than
// 16 MiB", the system's words).
std::vector<std::string> ReadTipsFile(const std::string& path, const std::string& name);

// The tips' pseudo-random numbers: 32-bit linear congruential, seed * 134775813
// + 1, and a draw below n is the upper 32 bits of the 64-bit seed * n.
class TTipRandom {
 public:
  explicit TTipRandom(std::uint32_t seed) : seed_(seed) {}
  // A number from 0 to n - 1 (0 when n is 0).
  std::uint32_t Draw(std::uint32_t n);

 private:
  std::uint32_t seed_;
};

// The seed from a UTC time of day: ((h * 60 + m) * 60 + s) * 1000 + ms.
std::uint32_t TimeOfDaySeed(int hour, int minute, int second, int millisecond);

// The tip to show first: five draws in a row from 0 to lastIndex, the fifth counts.
int FirstTip(std::uint32_t seed, int lastIndex);

}  // namespace vantelo::ui
