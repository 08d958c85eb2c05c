// Every key of the settings file, with its section and the value a reader gets
// when the key is missing. Every reader and writer names its key from here, so
// a section, a key or a default is written out once.
//
// Constants only; any thread.
#pragma once

namespace vantelo::routing {

struct TSettingsKey {
  const char* section;
  const char* key;
  const char* defaultValue;
};

// The relay's listening port.
inline constexpr TSettingsKey kDialSmtpPort{"dial", "smtpport", "25"};
// "1": the relay accepts other computers (binds every address); anything
// else: this computer only (127.0.0.1). Not shown in the configuration dialog.
inline constexpr TSettingsKey kDialRemoteClients{"dial", "remoteclients", "0"};
// "1": Wi-Fi and wired profiles are entries too. Not shown in the
// configuration dialog.
inline constexpr TSettingsKey kDialLanEntries{"dial", "lanentries", "0"};
// The default route: used while no entry is connected, and only when both
// are non-empty.
inline constexpr TSettingsKey kDefaultSmtpServer{"default", "smtpserver", ""};
inline constexpr TSettingsKey kDefaultSmtpPort{"default", "smtpport", ""};
// Start-up: "1" keeps the main window hidden in the notification area (only
// "0" shows it); "1" shows the tip of the day.
inline constexpr TSettingsKey kGeneralStartMinimized{"general", "startminimized", "0"};
inline constexpr TSettingsKey kGeneralTipOfTheDay{"general", "tipoftheday", "0"};

}  // namespace vantelo::routing
