// A profile (INI) file read and written one key at a time.
//
// Every read opens the file afresh; nothing is cached. Section and key names
// match without regard to ASCII case; the first matching section and key win.
// A missing file or key gives the default; a present but empty value gives
// the empty text. A read returns at most 2047 characters of a value.
//
// A write changes only its own key and keeps every other line (comments,
// unknown keys, blank lines, order); it adds a missing section at the end and
// a missing key at the end of its section. It creates a missing file but not
// its folder. The new contents go to a temporary file beside the old one,
// which is then renamed over it, so the file is never left half-written. A
// failed write raises ESettingsWriteError "Unable to write to NAME".
#pragma once

#include <stdexcept>
#include <string>

namespace vantelo::routing {

class ESettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxProfileValue = 2047;

class TIniFile {
 public:
  // `path` is where the file is; `displayName` is how error messages name it.
  TIniFile(std::string path, std::string displayName);

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  void WriteString(const std::string& section, const std::string& key,
                   const std::string& value) const;

  // The lookup on text already in memory (for tests of odd input).
  static std::string ReadFromText(const std::string& text, const std::string& section,
                                  const std::string& key, const std::string& defaultValue);
  static std::string WriteToText(const std::string& text, const std::string& section,
                                 const std::string& key, const std::string& value);

 private:
  std::string path_;
  std::string displayName_;
};

}  // namespace vantelo::routing
