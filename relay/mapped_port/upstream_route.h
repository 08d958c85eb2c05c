// What a route's server text asks of the upstream connection.
//
//   smtp.example.net, 10.0.0.1, ::1   plain: the bytes as they are
//   smtps://HOST                      TLS from the first byte (port 465)
//   starttls://HOST                   plain TCP, then STARTTLS before any
//                                     byte of the client's (ports 587, 25)
//
// The scheme is compared without regard to case. HOST is a name, a dotted
// IPv4 address or an IPv6 address in brackets. A text without a scheme is
// used exactly as written.
#pragma once

#include <string>

namespace vantelo::relay {

enum class TUpstreamSecurity { Plain, ImplicitTls, StartTls };

struct TUpstreamRoute {
  TUpstreamSecurity security = TUpstreamSecurity::Plain;
  std::string host;        // what to connect to (an IPv6 address keeps its brackets)
  std::string serverName;  // what the certificate must name: host without brackets
  std::string error;       // why the text names no usable server; empty when it does
};

TUpstreamRoute ParseServerText(const std::string& text);

}  // namespace vantelo::relay
