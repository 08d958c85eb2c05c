#include "tests/testkit/secret_service_daemon.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/testkit/child_process.h"

extern char** environ;

namespace vantelo::testkit {
namespace {

const char* const kDaemon = "/usr/bin/gnome-keyring-daemon";
const char* const kBus = "/usr/bin/dbus-daemon";
const char* const kTool = "/usr/bin/secret-tool";
const char* const kGdbus = "/usr/bin/gdbus";
const char* const kUnlockPassword = "vantelo-test-keyring";

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

std::string SecretServiceOnPrivateBus::Missing() {
  for (const char* program : {kDaemon, kBus, kTool, kGdbus}) {
    if (access(program, X_OK) != 0) {
      return std::string(program) + " is not installed (scripts/install-deps.sh)";
    }
  }
  return "";
}

SecretServiceOnPrivateBus::SecretServiceOnPrivateBus(bool withKeyring) {
  char pattern[] = "/tmp/vantelo-keyring-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("no temporary folder");
  folder_ = pattern;
  for (const char* sub : {"/home/.local/share", "/home/.config", "/home/.cache", "/run"}) {
    std::filesystem::create_directories(folder_ + sub);
  }
  std::filesystem::permissions(folder_ + "/run", std::filesystem::perms::owner_all);
  std::ofstream(folder_ + "/bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n  <type>session</type>\n  <listen>unix:path="
      << folder_
      << "/bus</listen>\n  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
         "  </policy>\n</busconfig>\n";
  TestChild bus =
      StartChild({kBus, "--config-file=" + folder_ + "/bus.conf", "--nofork", "--print-address=1"},
                 Environment(), ChildPipes{.output = true});
  bus_ = bus.pid;
  std::string line;
  char c;
  while (read(bus.out, &c, 1) == 1 && c != '\n') line += c;
  close(bus.out);
  if (line.empty()) throw std::runtime_error("private dbus-daemon did not start");
  address_ = "unix:path=" + folder_ + "/bus";
  setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  if (!withKeyring) return;

  // The login keyring, made and unlocked with the password on standard input.
  TestChild keyring = StartChild({kDaemon, "--foreground", "--unlock", "--components=secrets"},
                                 Environment(), ChildPipes{.input = true});
  keyring_ = keyring.pid;
  WriteAll(keyring.in, kUnlockPassword);
  close(keyring.in);
  // Until login.keyring exists, the daemon answers "Object does not exist"
  // for the collection.
  const std::string login = folder_ + "/home/.local/share/keyrings/login.keyring";
  for (int i = 0; i < 250 && !std::filesystem::exists(login); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!std::filesystem::exists(login)) {
    throw std::runtime_error("gnome-keyring-daemon made no login keyring");
  }
}

SecretServiceOnPrivateBus::~SecretServiceOnPrivateBus() {
  EndChild(keyring_);
  EndChild(bus_);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::vector<std::string> SecretServiceOnPrivateBus::Environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "HOME" || name.rfind("XDG_", 0) == 0 || name == "DBUS_SESSION_BUS_ADDRESS" ||
        name == "DISPLAY" || name == "WAYLAND_DISPLAY") {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("HOME=" + folder_ + "/home");
  env.push_back("XDG_DATA_HOME=" + folder_ + "/home/.local/share");
  env.push_back("XDG_CONFIG_HOME=" + folder_ + "/home/.config");
  env.push_back("XDG_CACHE_HOME=" + folder_ + "/home/.cache");
  env.push_back("XDG_RUNTIME_DIR=" + folder_ + "/run");
  if (!address_.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address_);
  return env;
}

int SecretServiceOnPrivateBus::Run(const std::vector<std::string>& argv, const std::string& input,
                                   std::string* output) {
  TestChild child = StartChild(argv, Environment(), ChildPipes{.input = true, .output = true});
  WriteAll(child.in, input);
  close(child.in);
  std::string text = ReadAll(child.out);
  close(child.out);
  if (output) *output = text;
  int status = 0;
  waitpid(child.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SecretServiceOnPrivateBus::Store(const std::string& host, const std::string& user,
                                      const std::string& password, const std::string& label) {
  return Run({kTool, "store", "--label=" + label, "host", host, "service", "smtp", "user", user},
             password, nullptr) == 0;
}

std::optional<std::string> SecretServiceOnPrivateBus::Lookup(const std::string& host,
                                                             const std::string& user) {
  std::string output;
  if (Run({kTool, "lookup", "host", host, "service", "smtp", "user", user}, "", &output) != 0) {
    return std::nullopt;
  }
  return output;
}

std::string SecretServiceOnPrivateBus::Label(const std::string& host, const std::string& user) {
  std::string output;
  Run({kTool, "search", "host", host, "service", "smtp", "user", user}, "", &output);
  const std::string key = "label = ";
  const auto at = output.find(key);
  if (at == std::string::npos) return "";
  return output.substr(at + key.size(), output.find('\n', at) - at - key.size());
}

}  // namespace vantelo::testkit

namespace vantelo::testkit {

int SecretServiceOnPrivateBus::Entries(const std::string& host, const std::string& user) {
  std::string output;
  Run({kTool, "search", "--all", "host", host, "service", "smtp", "user", user}, "", &output);
  int entries = 0;
  for (std::size_t at = output.find("label = "); at != std::string::npos;
       at = output.find("label = ", at + 1)) {
    ++entries;
  }
  return entries;
}

bool SecretServiceOnPrivateBus::LockLoginKeyring() {
  return Run({kGdbus, "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
              "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
              "['/org/freedesktop/secrets/collection/login']"},
             "", nullptr) == 0;
}

}  // namespace vantelo::testkit
