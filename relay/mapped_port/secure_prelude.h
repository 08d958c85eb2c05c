// The start of a protected upstream session, before any byte of the
// client's goes upstream:
//  - starttls://: the server's greeting (220 on every line), EHLO,
//    STARTTLS among the extensions of the 250 reply, STARTTLS answered with
//    220, then the handshake;
//  - smtps://: the handshake, then the greeting inside TLS (and with it
//    whatever TLS 1.3 sends first: tickets, or an alert refusing the relay);
//  - with a user on the route, then: EHLO inside TLS, the login with the
//    best mechanism offered (login.h), and its 235.
// The EHLO name is the neutral "[127.0.0.1]": this computer's name is
// nobody's business. Nothing of the client's is read meanwhile.
#pragma once

#include <string>

#include "relay/mapped_port/passwords.h"
#include "relay/mapped_port/upstream_route.h"
#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

struct TSecureStart {
  // What the client must get first: the server's greeting, as sent.
  std::string greeting;
  // With a login: the server's reply to the EHLO before it.
  std::string ehloReply;
};

// On `client`, connected: starts the session that `route` asks for, and
// logs in with `password` when the route has a user (null otherwise).
// limitMs bounds all of it. Abandoned (ESocketError 10053) as soon as
// `abandonOnHangUp` hangs up, is woken, or ends its sending with nothing
// left to read. A refused login raises ELoginRefused (login.h); any other
// failure ESessionError (ETlsError for TLS itself) with its reason.
TSecureStart StartSecureSession(TTCPClient& client, const TUpstreamRoute& route, int limitMs,
                                const TSocketHandle* abandonOnHangUp, const TSecret* password);

// The first line of a server's reply, fit to quote in a reason: printable
// ASCII only, at most 120 characters.
std::string QuoteReply(const std::string& reply);

// "30 s", or "500 ms" for a limit that is no whole number of seconds.
std::string DescribeLimit(int limitMs);

}  // namespace vantelo::relay
