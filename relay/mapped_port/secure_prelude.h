// The start of a protected upstream session, before any byte of the
// client's goes upstream: for smtps:// the TLS handshake; for starttls:// the
// server's greeting (220, one or more lines), EHLO with this computer's name,
// STARTTLS among the extensions of the 250 reply, STARTTLS answered with 220,
// then the handshake. Nothing of the client's is read meanwhile.
#pragma once

#include <string>

#include "relay/mapped_port/upstream_route.h"
#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

// On `client`, connected: starts the session that `route` asks for and
// returns what the client must get first (the STARTTLS server's greeting,
// as sent; empty for smtps://). limitMs bounds all of it. Abandoned
// (ESocketError 10053) as soon as `abandonOnHangUp` hangs up or is woken.
// Any other failure raises ESessionError (ETlsError for TLS itself) with its
// reason.
std::string StartSecureSession(TTCPClient& client, const TUpstreamRoute& route, int limitMs,
                               const TSocketHandle* abandonOnHangUp);

// "30 s", or "500 ms" for a limit that is no whole number of seconds.
std::string DescribeLimit(int limitMs);

}  // namespace vantelo::relay
