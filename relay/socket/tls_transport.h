// TLS on the client side of a connected socket (OpenSSL 3).
//
// The server's certificate is always verified: the chain against the system's
// trust store (OpenSSL's default verify paths, so SSL_CERT_FILE and
// SSL_CERT_DIR apply, read when the first TLS session starts and again after
// ReloadTrustStore), and the name against the certificate's subject
// alternative names (never its subject's common name) as the route gives it,
// one trailing dot dropped, or its IP address against the certificate's
// addresses. A host name also goes out as SNI. TLS 1.2 or later, under TLS
// 1.2 only ECDHE with AES-GCM or ChaCha20; no renegotiation; no client
// certificate. There is no way to accept a certificate that fails these
// checks.
//
// Once started, the connection's bytes go through TLS (TTCPConnection's
// transport). Ending the sending (EndSending without `closing`) is held back
// until the server has ended its own: many servers end the whole session when
// a close_notify arrives, and TLS 1.2 has no half-close, so an early one could
// cut off the replies still owed. A close_notify from the server reads as its
// end of sending, and so does a plain end after a whole line; a plain end in
// the middle of a line or of a record raises ETlsError, as does any record
// that fails its check. Closing sends the close_notify.
#pragma once

#include <chrono>
#include <string>

#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

// Runs the TLS handshake on `connection`'s connected, non-blocking socket
// towards `serverName` (a host name, a dotted IPv4 address or an IPv6 address
// without brackets). Waits at most until `deadline`, and is abandoned as soon
// as `abandonOnHangUp` (may be null) hangs up or is woken: ESocketError
// 10053. Any other failure raises ETlsError with a reason a person can act
// on ("certificate name mismatch"). `limitText` names the limit in its time-out
// reason ("30 s"). A connection that has received bytes before (a STARTTLS
// dialogue) is told apart in the reasons from one that starts with TLS.
void StartTls(TTCPConnection& connection, const std::string& serverName,
              std::chrono::steady_clock::time_point deadline, const std::string& limitText,
              const TSocketHandle* abandonOnHangUp);

// Reads the trust store again, and SSL_CERT_FILE and SSL_CERT_DIR with it,
// for the TLS sessions that start from now on; sessions kept for resumption
// are dropped. Any thread, also while handshakes run (each keeps the store
// it started with).
void ReloadTrustStore();

}  // namespace vantelo::relay
