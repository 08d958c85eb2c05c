// Logging in to a route's server, inside TLS, for a route with a user
// (upstream_route.h): the mechanisms, which the secure start picks from the
// server's EHLO reply (secure_prelude.h), and the replies a login route
// gives the mail program when it cannot log in.
//
// A mechanism sees the server only through TSmtpExchange, so another one (a
// token mechanism such as XOAUTH2) needs nothing of the copy pass or the
// dialogue around it. A mechanism never puts what it sends into a reason or
// a log line, and wipes every copy of the secret it makes.
#pragma once

#include <memory>
#include <string>

#include "relay/mapped_port/passwords.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {

// The server, as a login step sees it.
class TSmtpExchange {
 public:
  virtual ~TSmtpExchange() = default;
  // Sends `line` (with its CRLF) and returns the server's whole reply.
  // `what` names the step in reasons ("AUTH PLAIN"); the line itself, which
  // may hold a secret, is never quoted.
  virtual std::string Command(const std::string& line, const std::string& what) = 0;
};

class TLoginMechanism {
 public:
  virtual ~TLoginMechanism() = default;
  // As the EHLO reply's AUTH line names it: "PLAIN".
  virtual const char* Name() const = 0;
  // Logs in as `user` with `secret`; the server's last reply (235 when it
  // took the login).
  virtual std::string LogIn(TSmtpExchange& server, const std::string& user,
                            const TSecret& secret) = 0;
};

// The best mechanism that `ehloReply` offers among PLAIN (one round trip)
// and LOGIN; null when it offers neither. `offered` gets what the AUTH line
// offers ("" for no AUTH at all), for the reason.
std::unique_ptr<TLoginMechanism> ChooseLoginMechanism(const std::string& ehloReply,
                                                      std::string& offered);

// Whether an EHLO reply offers `keyword` (upper case) as an extension.
bool OffersExtension(const std::string& ehloReply, const std::string& keyword);

// A login that the server refused, or could not be made (no mechanism, no
// answer in time). The message is the server's reply (one line, fit to
// quote) or the reason in words.
class ELoginRefused : public ESessionError {
 public:
  ELoginRefused(const std::string& reason, bool passwordRefused)
      : ESessionError(reason), PasswordRefused(passwordRefused) {}
  bool PasswordRefused;  // 535: the password itself was wrong
};

// A relayed connection that ended before its copy pass with its line
// already logged and its reply already sent.
class ESessionEndLogged : public ESessionError {
 public:
  using ESessionError::ESessionError;
};

// What a person can run to store the password of `account`:
// secret-tool store --label="Vantelo: U@HOST" host HOST service smtp user U
std::string StorePasswordCommand(const TLoginAccount& account);

}  // namespace vantelo::relay
