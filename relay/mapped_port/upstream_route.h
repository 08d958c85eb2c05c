// What a route's server text asks of the upstream connection.
//
//   smtp.example.net, 10.0.0.1, ::1   plain: the bytes as they are
//   smtps://HOST                      TLS from the first byte (port 465)
//   starttls://HOST                   plain TCP, then STARTTLS before any
//                                     byte of the client's (ports 587, 25)
//   smtps://USER@HOST                 the same, and the relay logs in to
//   starttls://USER@HOST              HOST as USER inside TLS (login.h)
//
// The scheme is compared without regard to case. HOST is a name, a dotted
// IPv4 address or an IPv6 address in brackets. USER is what comes before the
// last "@", with %XX decoded (%40 for an "@", %3A for a ":"). A password in
// the text ("USER:PASSWORD@") is refused: it belongs in the keyring. A user
// on a route without TLS is refused too: a login never goes out in clear. A
// text without a scheme and without an "@" is used exactly as written.
#pragma once

#include <string>

namespace vantelo::relay {

enum class TUpstreamSecurity { Plain, ImplicitTls, StartTls };

struct TUpstreamRoute {
  TUpstreamSecurity security = TUpstreamSecurity::Plain;
  std::string host;         // what to connect to (an IPv6 address keeps its brackets)
  std::string serverName;   // what the certificate must name: host without brackets
  std::string user;         // whom to log in as; empty for no login
  std::string error;        // why the text names no usable server; empty when it does
  bool loginError = false;  // the error is about the user or a password in the text
  // The text for the log and the replies: as written, except that a password
  // in it is left out ("alice:(password left out)@...").
  std::string shown;
};

TUpstreamRoute ParseServerText(const std::string& text);

}  // namespace vantelo::relay
