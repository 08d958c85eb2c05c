// The mapped-port relay: for every connection accepted on its port it opens
// one upstream connection to MappedHost:MappedPort and copies bytes both ways,
// unchanged and in order, until both sides have ended (copy_pass.h has the
// rules). When the upstream server cannot be reached, the client gets one
// reply of the relay's own, "421 4.4.0 HOST:PORT cannot be reached: REASON",
// and an orderly close.
//
// A route to smtps:// or starttls:// (upstream_route.h) protects the upstream
// side with TLS before any byte of the client's goes there
// (secure_prelude.h); any failure until then is a "421 4.7.0 No secure
// connection to HOST:PORT: REASON" and an orderly close, never a plain
// session. From then on the copy pass is the same; the TLS lives in the
// upstream connection's transport.
//
// Set DefaultPort, MappedHost and MappedPort, then SetActive(true), all on the
// owner's thread; they never change while the relay is active (a new route is
// a new relay). Create it with TOwnedServer<TMappedPortTCP>::Make(); dropping
// that owner closes the listener and every relayed connection, blocking until
// they have ended, at most about 11 s. A route change instead hands the
// listening socket to the next relay (GiveUpListeners, ActivateOn) and lets
// this one's connections finish.
//
// Each relayed connection lives on its worker thread. When one side ends its
// sending, what it sent still reaches the other side, which is then told the
// end, and the other direction goes on until that side ends too. A socket is
// closed only after its peer had the chance to read everything sent to it (a
// lingering close, relay/socket/lingering_close.h). Failures end only their own relayed
// connection and are reported as one line each in the relay log; a peer that
// resets or leaves once the session was closing is no failure (Debug only).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "relay/mapped_port/copy_pass.h"
#include "relay/mapped_port/passwords.h"
#include "relay/mapped_port/secure_prelude.h"
#include "relay/mapped_port/upstream_route.h"
#include "relay/server/tcp_server.h"

namespace vantelo::relay {

// What a worker keeps for its relayed connection; destroyed with the worker.
class TMappedPortTCPData : public TAttachedData {
 public:
  explicit TMappedPortTCPData(TTCPServerConnection& inbound);
  std::unique_ptr<TTCPClient> UpstreamClient;
  TCopyPass Copy;
};

inline constexpr int kSecurePreludeTime = 30000;
inline constexpr int kConnectTime = 30000;

class TMappedPortTCP : public TTCPServer {
 public:
  using TBeforeClientConnectEvent =
      std::function<void(TMappedPortTCP* sender, TPeerThread* thread, TTCPClient* client)>;

  // A name, "LOCALHOST", a dotted address or an IPv6 address, or one of these
  // after smtps:// or starttls:// (upstream_route.h).
  std::string MappedHost;
  int MappedPort = 0;  // only the low 16 bits reach the socket address
  TBeforeClientConnectEvent OnBeforeClientConnect;
  // How long a relayed connection with one side ended may go without a byte
  // moving either way before it is closed (ms).
  int HalfClosedIdleTime = 30000;
  // How long a closing side waits for its peer to end too (ms).
  int LingerTime = 2000;
  // How long the upstream connect may wait for the server's answer (ms), on
  // every route: a server whose packets are dropped gets its 421 this soon,
  // not after the system's own two minutes.
  int ConnectTime = kConnectTime;
  // How long a secure route's start may take once the upstream connection is
  // up (ms): the TLS handshake, and for starttls:// the dialogue before it.
  // A server that stays silent holds the worker no longer than this.
  int SecurePreludeTime = kSecurePreludeTime;
  // Where a route with a user finds its password; none: every such
  // connection gets the "No password" 421.
  std::shared_ptr<TPasswordSource> Passwords;
  // How long a login route waits for the client's first command other than
  // EHLO, HELO or AUTH (ms).
  int ClientCommandTime = 300000;
  // When set, the relay serves a route that cannot be used: every client is
  // answered this one line (an SMTP 421 with the reason) and closed, and
  // nothing goes upstream.
  std::string Refusal;

  // Connects the upstream side (on the new worker).
  void HandleConnect(TPeerThread& thread) override;
  // One copy pass; ends the relayed connection when it is over.
  bool HandleExecute(TPeerThread& thread) override;
  // Closes whatever is still open, the lingering way unless the relay is
  // being destroyed.
  void HandleDisconnect(TPeerThread& thread) override;

  std::string DescribeConnection(const TPeerThread& thread) const override;
  std::string DescribeWorkerEnd(const TPeerThread& thread, bool duringSetup,
                                const std::exception& reason) const override;

 private:
  // HandleConnect, step by step. First the worker's data and the upstream
  // side's settings, then OnBeforeClientConnect.
  TTCPClient& PrepareUpstream(TPeerThread& thread, const TUpstreamRoute& route);
  // The connect and, on a secure route, the session's start and the login.
  // A failure answers the client with its 421 and is raised on.
  TSecureStart StartUpstream(TPeerThread& thread, TTCPClient& client, const TUpstreamRoute& route);
  // The server's greeting to the client; on a login route, the relay's own
  // answers until the client's mail begins (client_front.h).
  void HandOverToClient(TPeerThread& thread, const TUpstreamRoute& route,
                        const TSecureStart& start);
  void EndRelayedConnection(TPeerThread& thread, bool lingering);
  // Sends the client one reply of the relay's own (an SMTP 421 when no
  // session with the upstream server could start).
  void AnswerClient(TPeerThread& thread, const std::string& reply);
  std::string Upstream() const;
  // The password for `account`, or the reason it has none (logged once for
  // the account until a password is found again).
  bool FindPassword(const TLoginAccount& account, TSecret& password, std::string& reason);

  std::mutex missingLock_;
  std::set<std::string> missing_;  // accounts logged as having no password
};

}  // namespace vantelo::relay
