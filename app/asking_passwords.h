// The desktop program's password source: the keyring first, and a person
// when the keyring has none, or there is no keyring to ask. Every relay the
// route controller starts gets its own view of it (ForRelay), which asks at
// most once per account for a missing password and once more after the
// server refused one (535), never again until the route is applied anew: a
// mail program that keeps retrying does not keep opening windows.
//
// Asking never waits: the ask function hands the request to the GUI thread
// and returns, and the lookup answers Missing at once (the relay gives that
// connection its 421). A password given for this run only is kept here and
// handed out as a copy per lookup; it is wiped when forgotten, refused or at
// the end.
//
// Find and Refused run on relay workers, several at once; the rest on any
// thread. No Qt.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "relay/mapped_port/passwords.h"

namespace vantelo::app {

// What the window that asks shows.
struct TLoginRequest {
  relay::TLoginAccount account;
  std::string routeName;     // the entry's name, or "default route"
  std::string refusedReply;  // the server's reply when it refused the last password
};

class TAskingPasswords : public std::enable_shared_from_this<TAskingPasswords> {
 public:
  // Called on a relay worker; must hand the request on and return.
  using TAsk = std::function<void(const TLoginRequest&)>;

  explicit TAskingPasswords(std::shared_ptr<relay::TPasswordSource> keyring);

  // Who is asked from now on; nullptr: nobody (the window's owner is gone).
  void SetAsk(TAsk ask);
  // The source of one relay, for the route named `routeName`.
  std::shared_ptr<relay::TPasswordSource> ForRelay(const std::string& routeName);

  // A password given for this run, found before the keyring's.
  void Keep(const relay::TLoginAccount& account, relay::TSecret password);
  // Wipes the password kept for `account`, if it is still `password` (a
  // newer answer stays).
  void ForgetIfStill(const relay::TLoginAccount& account, const std::string& password);

 private:
  class TRelayView;
  relay::TPasswordLookup Find(const relay::TLoginAccount& account);
  void Forget(const relay::TLoginAccount& account);
  void Ask(const TLoginRequest& request);

  std::shared_ptr<relay::TPasswordSource> keyring_;
  std::mutex mutex_;  // guards ask_ and kept_
  TAsk ask_;
  std::map<std::string, relay::TSecret> kept_;  // by TLoginAccount::Describe()
};

}  // namespace vantelo::app
