#include "dialup/pppd_source.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "logging/log_categories.h"
#include "dialup/status_text.h"

namespace vantelo::dialup {
namespace {

// The names in `folder`; `error` (when given) gets why it could not be
// opened, 0 when it could.
std::vector<std::string> FolderNames(const std::string& folder, int* error = nullptr) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
    closedir(d);
    if (error) *error = 0;
  } else if (error) {
    *error = errno;
  }
  return names;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Hidden files, editor and package-manager leftovers are not peers.
bool IsPeerName(const std::string& name) {
  return !name.empty() && name[0] != '.' && !EndsWith(name, "~") && !EndsWith(name, ".bak") &&
         name.find(".dpkg-") == std::string::npos;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> CommandLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> args;
  std::string arg;
  while (std::getline(in, arg, '\0')) args.push_back(arg);
  return args;
}

// NetworkManager runs pppd for PPPoE, ADSL and modems with its own plugin.
bool StartedByNetworkManager(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] != "plugin") continue;
    const std::string& plugin = args[i + 1];
    const std::string name = plugin.substr(plugin.rfind('/') + 1);
    if (name.rfind("nm-pppd-plugin", 0) == 0) return true;
  }
  return false;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace

TPppdSource::TPppdSource(TPppdPaths paths) : paths_(std::move(paths)) {}

std::vector<std::string> TPppdSource::Entries() {
  std::vector<std::string> peers;
  int error = 0;
  const std::vector<std::string> names = FolderNames(paths_.peers, &error);
  // No peers folder is a machine without pppd peers; any other reason hides
  // peers that are there, and is said when it starts and when it clears.
  const std::string problem = error && error != ENOENT ? std::strerror(error) : "";
  if (problem != peersProblem_) {
    if (!problem.empty()) {
      qCWarning(lcDialup, "cannot read the pppd peers folder %s: %s; its peers are not listed",
                paths_.peers.c_str(), problem.c_str());
    } else {
      qCInfo(lcDialup, "the pppd peers folder %s can be read again", paths_.peers.c_str());
    }
    peersProblem_ = problem;
  }
  for (const std::string& name : names) {
    if (IsPeerName(name) && IsRegularFile(paths_.peers + "/" + name)) peers.push_back(name);
  }
  std::sort(peers.begin(), peers.end());
  return peers;
}

std::vector<TRasConnection> TPppdSource::ActiveConnections(bool /*withLan: pppd has none*/) {
  std::vector<int> pids;
  for (const std::string& name : FolderNames(paths_.proc)) {
    int pid = 0;
    const char* end = name.data() + name.size();
    auto [last, error] = std::from_chars(name.data(), end, pid);
    if (error == std::errc() && last == end && !name.empty() && name[0] != '-') pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());

  std::vector<TRasConnection> found;
  for (int pid : pids) {
    std::vector<std::string> args =
        CommandLine(paths_.proc + "/" + std::to_string(pid) + "/cmdline");
    if (args.empty()) continue;
    const std::string& program = args[0];
    if (program != "pppd" && !EndsWith(program, "/pppd")) continue;
    if (StartedByNetworkManager(args)) continue;
    std::string call, linkname;
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
      if (args[i] == "call" && call.empty()) call = args[i + 1];
      if (args[i] == "linkname" && linkname.empty()) linkname = args[i + 1];
    }
    TRasConnection c;
    c.Handle = pid;
    c.EntryName = !call.empty() ? call : !linkname.empty() ? linkname : "pppd";
    c.Status.DeviceType = "modem";
    c.Status.DeviceName = InterfaceOf(pid, linkname);
    c.Status.State = !c.Status.DeviceName.empty() && InterfaceRunning(c.Status.DeviceName)
                         ? kStateConnected
                         : kStateConnectDevice;
    found.push_back(std::move(c));
  }
  return found;
}

// pppd writes IFNAME.pid (its pid) and, with a linkname, ppp-LINKNAME.pid
// (its pid, then the interface name).
std::string TPppdSource::InterfaceOf(int pid, const std::string& linkname) const {
  const std::string wanted = std::to_string(pid);
  if (!linkname.empty()) {
    std::vector<std::string> lines = Lines(paths_.run + "/ppp-" + linkname + ".pid");
    if (lines.size() >= 2 && lines[0] == wanted) return lines[1];
  }
  std::vector<std::string> names = FolderNames(paths_.run);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name.rfind("ppp", 0) != 0 || !EndsWith(name, ".pid") || name.rfind("ppp-", 0) == 0) {
      continue;
    }
    std::vector<std::string> lines = Lines(paths_.run + "/" + name);
    if (!lines.empty() && lines[0] == wanted) return name.substr(0, name.size() - 4);
  }
  return {};
}

bool TPppdSource::InterfaceRunning(const std::string& name) const {
  if (name.find('/') != std::string::npos) return false;
  std::ifstream in(paths_.net + "/" + name + "/flags");
  std::string text;
  if (!(in >> text)) return false;
  unsigned long flags = std::strtoul(text.c_str(), nullptr, 16);
  constexpr unsigned long kUp = 0x1, kRunning = 0x40;
  return (flags & kUp) && (flags & kRunning);
}

}  // namespace vantelo::dialup
