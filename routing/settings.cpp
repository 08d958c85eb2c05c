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

std::string TrimControlText(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) < 33) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) < 33) --e;
  return text.substr(b, e - b);
}

void savecfg(const TSettingsValues& values) {
  const TIniFile ini = SettingsFile();
  ini.WriteString("dial", "smtpport", TrimControlText(values.incomingPort));
  ini.WriteString("default", "smtpserver", TrimControlText(values.defaultServer));
  ini.WriteString("default", "smtpport", TrimControlText(values.defaultPort));
  ini.WriteString("general", "startminimized", values.startMinimized ? "1" : "0");
  ini.WriteString("general", "tipoftheday", values.tipOfTheDay ? "1" : "0");
  const std::string folder = CurrentFolder();
  if (values.startWithWindows) {
    TAutostart::Write(folder);
  } else {
    TAutostart::Remove();
  }
}

void loadcfg(TSettingsValues& values) {
  const TIniFile ini = SettingsFile();
  values.incomingPort = ini.ReadString("dial", "smtpport", "25");
  values.defaultServer = ini.ReadString("default", "smtpserver", "");
  values.defaultPort = ini.ReadString("default", "smtpport", "");
  if (std::optional<bool> on = TAutostart::Read()) values.startWithWindows = *on;
  values.startMinimized = ini.ReadString("general", "startminimized", "0") == "1";
  values.tipOfTheDay = ini.ReadString("general", "tipoftheday", "0") == "1";
}

}  // namespace vantelo::routing
