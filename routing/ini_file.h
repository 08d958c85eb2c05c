// A profile (INI) file read and written one key at a time.
//
// Every read opens the file afresh; nothing is cached. Section and key names
// match without regard to ASCII case; the first matching section and key win.
// A missing file or key gives the default; a present but empty value gives
// the empty text. A read returns at most 2047 characters of a value. A file
// that cannot be read (a FIFO, a device, a file over 16 MiB, no permission)
// gives the defaults at once and is reported to the settings log when it
// turns unreadable and when it can be read again. A UTF-8 byte-order mark at
// the start is skipped when reading and kept when writing.
//
// A write changes only its own key and keeps every other line (comments,
// unknown keys, blank lines, order); it adds a missing section at the end and
// a missing key at the end of its section. It creates a missing file but not
// its folder. It writes through a symbolic link to the link's target. The new
// contents replace the old as ReplaceTextFile does (never half a file). An
// existing file that cannot be read is never rewritten. A failed write raises
// ESettingsWriteError "Unable to write to NAME" and logs why.
#pragma once

#include <optional>
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
  // The value as the file holds it; nothing when the key or the file is
  // missing, or the file cannot be read.
  std::optional<std::string> ReadValue(const std::string& section, const std::string& key) const;
  void WriteString(const std::string& section, const std::string& key,
                   const std::string& value) const;

  // The lookup on text already in memory (for tests of odd input).
  static std::string ReadFromText(const std::string& text, const std::string& section,
                                  const std::string& key, const std::string& defaultValue);
  static std::optional<std::string> FindInText(const std::string& text, const std::string& section,
                                               const std::string& key);
  static std::string WriteToText(const std::string& text, const std::string& section,
                                 const std::string& key, const std::string& value);

 private:
  std::string path_;
  std::string displayName_;
};

}  // namespace vantelo::routing
