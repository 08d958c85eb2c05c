// A real Secret Service for the tests: gnome-keyring-daemon, unlocked with a
// password of the test's own, on a private session bus (dbus-daemon with no
// service files, so nothing else starts there), with a temporary home of its
// own. The test program's DBUS_SESSION_BUS_ADDRESS names that bus while the
// object lives; secret-tool, run through the helpers below, stores and
// reads entries the way a person (or msmtp) does.
//
// One per test program: libsecret keeps its connection to the first bus it
// meets for the whole process.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantelo::testkit {

class SecretServiceOnPrivateBus {
 public:
  // Empty when the daemon, the bus and secret-tool are installed; else what is
  // missing (the test skips with it).
  static std::string Missing();

  // Throws std::runtime_error when it cannot start. Without `withKeyring`,
  // the bus alone: a session where no keyring runs.
  explicit SecretServiceOnPrivateBus(bool withKeyring = true);
  ~SecretServiceOnPrivateBus();
  SecretServiceOnPrivateBus(const SecretServiceOnPrivateBus&) = delete;
  SecretServiceOnPrivateBus& operator=(const SecretServiceOnPrivateBus&) = delete;

  // secret-tool store --label=LABEL host H service smtp user U, the
  // password on its standard input; true when it succeeded.
  bool Store(const std::string& host, const std::string& user, const std::string& password,
             const std::string& label = "test entry");
  // secret-tool lookup host H service smtp user U: the password, or nothing.
  std::optional<std::string> Lookup(const std::string& host, const std::string& user);
  // The label of that entry (secret-tool search), or "".
  std::string Label(const std::string& host, const std::string& user);
  // How many entries the keyring holds for the account.
  int Entries(const std::string& host, const std::string& user);
  // Locks the login keyring. Unlocking it needs the daemon's prompt, which
  // cannot show on the private bus: it stays locked.
  bool LockLoginKeyring();

  const std::string& Folder() const { return folder_; }
  const std::string& Address() const { return address_; }

 private:
  // Runs a program with the daemon's environment, feeding `input`; its exit
  // code, and its standard output in `output`.
  int Run(const std::vector<std::string>& argv, const std::string& input, std::string* output);
  std::vector<std::string> Environment() const;

  std::string folder_;
  std::string address_;
  pid_t bus_ = -1;
  pid_t keyring_ = -1;
};

}  // namespace vantelo::testkit
