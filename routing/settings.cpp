#include "routing/settings.h"

#include <climits>
#include <optional>
#include <unistd.h>

#include "routing/autostart.h"

namespace vantelo::routing {
namespace {

std::string CurrentFolder() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

}  // namespace

TIniFile SettingsFile() { return TIniFile(kSettingsPath, kSettingsName); }

std::string ReadSetting(const TSettingsKey& key) {
  return SettingsFile().ReadString(key.section, key.key, key.defaultValue);
}

std::optional<std::string> ReadSettingIfSet(const TSettingsKey& key) {
  return SettingsFile().ReadValue(key.section, key.key);
}

bool SettingIsOn(const TSettingsKey& key) { return ReadSetting(key) == "1"; }

void WriteSetting(const TSettingsKey& key, const std::string& value) {
  SettingsFile().WriteString(key.section, key.key, value);
}

std::string TrimControlText(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) < 33) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) < 33) --e;
  return text.substr(b, e - b);
}

void savecfg(const TSettingsValues& values) {
  WriteSetting(kDialSmtpPort, TrimControlText(values.incomingPort));
  WriteSetting(kDefaultSmtpServer, TrimControlText(values.defaultServer));
  WriteSetting(kDefaultSmtpPort, TrimControlText(values.defaultPort));
  WriteSetting(kGeneralStartMinimized, values.startMinimized ? "1" : "0");
  WriteSetting(kGeneralTipOfTheDay, values.tipOfTheDay ? "1" : "0");
  const std::string folder = CurrentFolder();
  if (values.startWithWindows) {
    TAutostart::Write(folder);
  } else {
    TAutostart::Remove();
  }
}

void loadcfg(TSettingsValues& values) {
  values.incomingPort = ReadSetting(kDialSmtpPort);
  values.defaultServer = ReadSetting(kDefaultSmtpServer);
  values.defaultPort = ReadSetting(kDefaultSmtpPort);
  if (std::optional<bool> on = TAutostart::Read()) values.startWithWindows = *on;
  values.startMinimized = SettingIsOn(kGeneralStartMinimized);
  values.tipOfTheDay = SettingIsOn(kGeneralTipOfTheDay);
}

}  // namespace vantelo::routing
