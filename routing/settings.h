// The settings file config/config.ini and the autostart value, moved as a
// whole to and from the values of the controls that show them. The file is
// read afresh whenever a value is needed; nothing is cached. GUI thread only.
#pragma once

#include <optional>
#include <string>

#include "routing/ini_file.h"
#include "routing/settings_keys.h"

namespace vantelo::routing {

inline constexpr const char* kSettingsPath = "config/config.ini";
// How messages name the settings file.
inline constexpr const char* kSettingsName = "config\\config.ini";

// The settings file as the program uses it, relative to the current folder.
TIniFile SettingsFile();

// One key of the settings file, read afresh: its default when missing.
std::string ReadSetting(const TSettingsKey& key);
// One key as the file holds it: nothing when the key or the file is missing
// (or the file cannot be read), where ReadSetting gives the default.
std::optional<std::string> ReadSettingIfSet(const TSettingsKey& key);
// True exactly when the key reads "1".
bool SettingIsOn(const TSettingsKey& key);
// Writes one key; raises ESettingsWriteError "Unable to write to config\config.ini".
void WriteSetting(const TSettingsKey& key, const std::string& value);

// The values of the six controls that show the settings.
struct TSettingsValues {
  std::string incomingPort;       // "Incoming SMTP port :"
  std::string defaultServer;      // default route server
  std::string defaultPort;        // default route port
  bool startMinimized = false;    // "minimized on startup"
  bool tipOfTheDay = false;       // "Show Tip of the day on startup"
  bool startWithWindows = false;  // "Start with windows"
};

// Removes every character below code 33 from both ends.
std::string TrimControlText(const std::string& text);

// Writes every value: the three texts trimmed, the two start-up flags as
// "1"/"0", then the autostart entry for the current folder (written when
// startWithWindows, else removed). Raises ESettingsWriteError or
// EAutostartError at the first write that fails; earlier writes stay.
void savecfg(const TSettingsValues& values);

// Reads every value back into `values`. When autostart is unavailable,
// startWithWindows keeps its state. An invalid autostart entry raises
// EAutostartError and leaves the two start-up flags as they were.
void loadcfg(TSettingsValues& values);

}  // namespace vantelo::routing
