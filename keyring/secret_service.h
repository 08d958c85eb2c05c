// Route logins' passwords in the desktop's Secret Service (GNOME Keyring,
// KWallet, KeePassXC), through libsecret. An entry belongs to a login by
// three attributes: host = the server's host, service = "smtp", user = the
// route's user. No schema name is matched, so the entry that
//   secret-tool store --label=... host H service smtp user U
// makes (which msmtp reads too) is found, and the entries Vantelo stores
// (label "Vantelo: U@H", default collection) serve those programs as well.
//
// Every call blocks until the keyring answers, a prompt to unlock it
// included: call it on a relay worker or another thread of its own, never
// on the GUI thread. Calls from several threads at once are safe; they take
// turns with the keyring (one route's connections wait for the same prompt
// anyway). Passwords that libsecret hands over are wiped once copied.
//
// The session bus's connection is told not to end the program when the bus
// goes away: a keyring that vanishes makes lookups Unavailable, no more.
#pragma once

#include <string>

#include "relay/mapped_port/passwords.h"

namespace vantelo::keyring {

class TSecretServicePasswords : public relay::TPasswordSource {
 public:
  // Found, Missing (the keyring holds none; the reason says how to store
  // one), or Unavailable (no Secret Service, a locked keyring that stayed
  // locked, or a failure; the reason says what to do).
  relay::TPasswordLookup Find(const relay::TLoginAccount& account) override;
};

// Stores `password` for `account` in the default collection, replacing every
// entry with the same three attributes (one made by secret-tool for msmtp
// too): one password per account. Returns "" or the reason it failed.
std::string StorePassword(const relay::TLoginAccount& account, const std::string& password);

// The command that stores a password for `account` by hand, for messages.
std::string StoreCommand(const relay::TLoginAccount& account);

}  // namespace vantelo::keyring
