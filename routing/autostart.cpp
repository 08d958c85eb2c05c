#include "routing/autostart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "routing/routing_log.h"
#include "routing/text_file.h"

namespace vantelo::routing {
namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Escapes for a desktop-entry string value.
std::string EscapeString(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else if (c == ' ' && i == 0)
      out += "\\s";
    else
      out += c;
  }
  return out;
}

std::string Failure(const char* what) { return std::string(what) + " '" + kAutostartName + "'"; }

}  // namespace

std::optional<std::string> TAutostart::ConfigHome() {
  // A relative XDG_CONFIG_HOME is not valid by the XDG rules: ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg);
  const char* h = std::getenv("HOME");
  if (!h || !*h) return std::nullopt;
  return std::string(h) + "/.config";
}

std::string TAutostart::EntryPath(const std::string& configHome) {
  return configHome + "/autostart/" + kAutostartName + ".desktop";
}

std::string TAutostart::ExecValue(const std::string& workingFolder) {
  const std::string command = workingFolder + "/config/link";
  static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string exec;
  if (command.find_first_of(reserved) == std::string::npos) {
    exec = command;
  } else {
    exec = "\"";
    for (char c : command) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
      exec += c;
    }
    exec += '"';
  }
  std::string out;  // a literal percent sign is doubled in Exec
  for (char c : exec) out += c == '%' ? std::string("%%") : std::string(1, c);
  return EscapeString(out);
}

std::optional<bool> TAutostart::Read() {
  std::optional<std::string> home = ConfigHome();
  if (!home || !IsFolder(*home)) return std::nullopt;
  const std::string path = EntryPath(*home);
  const TTextFile file = ReadTextFile(path);
  if (file.state == TTextFile::Unreadable) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot read " + path + ": " + file.problem + "; autostart reads as off");
  }
  // Missing, unreadable or of size zero: empty, so autostart is off.
  if (file.state != TTextFile::Read || file.text.empty()) return false;
  std::istringstream in(file.text);
  std::string line, group;
  bool isEntry = false, application = false, hidden = false;
  std::string exec;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      group = line;
      if (group == "[Desktop Entry]") isEntry = true;
      continue;
    }
    if (group != "[Desktop Entry]") continue;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    if (key == "Type") application = value == "Application";
    if (key == "Exec") exec = value;
    if (key == "Hidden") hidden = value == "true";
  }
  if (!isEntry || !application) throw EAutostartError(Failure("Invalid data type for"));
  return !exec.empty() && !hidden;
}

void TAutostart::Write(const std::string& workingFolder) {
  std::optional<std::string> home = ConfigHome();
  if (!home) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot start Vantelo at logon: neither XDG_CONFIG_HOME nor HOME is set");
    throw EAutostartError(Failure("Failed to set data for"));
  }
  const std::string folder = *home + "/autostart";
  const std::string path = EntryPath(*home);
  // A new account may have no ~/.config yet; the XDG rules make it 0700.
  if (const std::string problem = CreateFolders(folder, 0700); !problem.empty()) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot write " + path + ": cannot create " + problem);
    throw EAutostartError(Failure("Failed to set data for"));
  }
  std::ostringstream entry;
  entry << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Vantelo\n"
        << "Comment=Relays outgoing mail to the provider of the connection in use\n"
        << "Exec=" << ExecValue(workingFolder) << "\n"
        << "Path=" << EscapeString(workingFolder) << "\n"
        << "Terminal=false\n";
  const std::string problem = ReplaceTextFile(path, entry.str(), 0644);
  if (!problem.empty()) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot write " + path + ": " + problem);
    throw EAutostartError(Failure("Failed to set data for"));
  }
}

void TAutostart::Remove() {
  std::optional<std::string> home = ConfigHome();
  if (!home) return;
  const std::string path = EntryPath(*home);
  // A missing folder holds no entry: nothing to remove (ENOENT).
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    RoutingLog(TRoutingLogSource::Settings, TRoutingLogLevel::Warning,
               "cannot remove " + path + ": " + std::strerror(errno));
  }
}

}  // namespace vantelo::routing
