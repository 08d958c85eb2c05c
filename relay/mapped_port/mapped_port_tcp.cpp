#include "relay/mapped_port/mapped_port_tcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "relay/log/log_sink.h"
#include "relay/mapped_port/client_front.h"
#include "relay/mapped_port/login.h"
#include "relay/mapped_port/secure_prelude.h"
#include "relay/mapped_port/upstream_route.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/lingering_close.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

TMappedPortTCPData& DataOf(TPeerThread& thread) {
  return static_cast<TMappedPortTCPData&>(*thread.AttachedData);
}

// Errors after which a side can take nothing more: the whole relayed
// connection ends at once.
bool EndsAtOnce(int error) {
  return error == kErrConnAborted || error == kErrConnReset || error == kErrShutdown;
}

// The client has ended its sending with nothing left to read.
bool ClientEnded(const TSocketHandle& inbound) {
  char byte;
  return ::recv(inbound.SocketHandle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

TMappedPortTCPData::TMappedPortTCPData(TTCPServerConnection& inbound)
    : UpstreamClient(std::make_unique<TTCPClient>()), Copy(inbound, *UpstreamClient) {}

void TMappedPortTCP::HandleConnect(TPeerThread& thread) {
  TTCPServer::HandleConnect(thread);
  if (!Refusal.empty()) {
    AnswerClient(thread, EscapeControls(Refusal) + "\r\n");
    thread.RequestStop();  // no copy pass: the teardown closes in order
    return;
  }
  const TUpstreamRoute route = ParseServerText(MappedHost);
  TTCPClient& client = PrepareUpstream(thread, route);
  const TSecureStart start = StartUpstream(thread, client, route);
  HandOverToClient(thread, route, start);
}

TTCPClient& TMappedPortTCP::PrepareUpstream(TPeerThread& thread, const TUpstreamRoute& route) {
  thread.AttachedData = std::make_unique<TMappedPortTCPData>(*thread.InboundConnection);
  TTCPClient& client = *DataOf(thread).UpstreamClient;
  client.Port = MappedPort;
  client.Host = route.host;
  // Both sides pass each piece on as it arrives: with Nagle's algorithm the
  // tail of a reply written in parts would wait for the other end's delayed
  // acknowledgement, up to 40 ms a reply.
  client.UseNagle = false;
  const int on = 1;
  if (GStack().SetSockOpt(thread.InboundConnection->SocketBinding.SocketHandle(), IPPROTO_TCP,
                          TCP_NODELAY, &on, sizeof on) == -1) {
    RelayLog(TRelayLogLevel::Info, DescribeConnection(thread) + ": replies may wait for Nagle: " +
                                       ReasonOfSocketError(GStack().LastError()));
  }
  if (OnBeforeClientConnect) OnBeforeClientConnect(this, &thread, &client);
  return client;
}

TSecureStart TMappedPortTCP::StartUpstream(TPeerThread& thread, TTCPClient& client,
                                           const TUpstreamRoute& route) {
  const bool secure = route.security != TUpstreamSecurity::Plain;
  const TSocketHandle& inbound = thread.InboundConnection->SocketBinding;
  const std::string to = route.host + ":" + std::to_string(MappedPort & 0xFFFF);
  const TLoginAccount account{route.serverName, MappedPort & 0xFFFF, route.user};
  // Until the session is handed over, the mail program learns why it could
  // not start, and that it may try again later; the teardown then closes its
  // connection in order. A secure route never falls back to plain.
  auto refuse = [&](const std::string& reason) {
    // One reply line, whatever the server text holds.
    AnswerClient(thread, EscapeControls((route.loginError ? "421 4.7.0 No login to " + to + ": "
                                         : secure ? "421 4.7.0 No secure connection to " + to + ": "
                                                  : "421 4.4.0 " + to + " cannot be reached: ") +
                                        reason) +
                             "\r\n");
  };
  TSecureStart start;
  try {
    if (!route.error.empty()) throw ESessionError(route.error);
    TSecret password;
    if (!route.user.empty()) {
      std::string reason;
      if (!FindPassword(account, password, reason)) {
        AnswerClient(thread, EscapeControls("421 4.7.0 No password for " + route.user + " at " +
                                            to + ": " + reason) +
                                 "\r\n");
        throw ESessionEndLogged("no password");
      }
    }
    // A relay being destroyed wakes the inbound side; that also ends a
    // connect, or a secure start, still waiting for the upstream server.
    client.Connect(&inbound, ConnectTime);
    if (secure) {
      start = StartSecureSession(client, route, SecurePreludeTime, &inbound,
                                 route.user.empty() ? nullptr : &password);
    }
    password.Wipe();  // never kept past the login
  } catch (const EConnectTimedOut& e) {
    refuse("connection timed out after " + DescribeLimit(e.LimitMs));
    throw;
  } catch (const ESocketError& e) {
    if (e.LastError == kErrConnAborted && !inbound.Woken() &&
        (thread.ClientHungUp() || ClientEnded(inbound))) {
      // It reset, or gave up and closed, while the server was still being
      // set up: no failure of the server's, and nobody to answer.
      RelayLog(TRelayLogLevel::Info, "relayed connection from " + thread.PeerIP() + ":" +
                                         std::to_string(thread.PeerPort()) +
                                         ": the client left before " + Upstream() + " answered");
      throw ESessionEndLogged("the client left");
    }
    refuse(ReplyWordsOf(e.LastError));
    throw;
  } catch (const ELoginRefused& e) {
    AnswerClient(thread, EscapeControls("421 4.7.0 Login to " + to + " as " + route.user +
                                        " refused: " + e.what()) +
                             "\r\n");
    if (e.PasswordRefused && Passwords) Passwords->Refused(account, e.what());
    throw;
  } catch (const ESessionEndLogged&) {
    throw;
  } catch (const ESessionError& e) {
    refuse(e.what());
    throw;
  }
  return start;
}

void TMappedPortTCP::HandOverToClient(TPeerThread& thread, const TUpstreamRoute& route,
                                      const TSecureStart& start) {
  if (route.user.empty()) {
    // The greeting that the server sent first, now that the client's part
    // can only go inside TLS.
    thread.InboundConnection->WriteText(start.greeting);
    return;
  }
  // Logged in: the client's EHLO is answered here, so that the server sees
  // only EHLO, AUTH and then the client's MAIL.
  TClientFront front = AnswerClientFront(*thread.InboundConnection, start.greeting, start.ehloReply,
                                         route.host, ClientCommandTime);
  if (front.end != TClientFront::TEnd::Handed) {
    if (!thread.InboundConnection->SocketBinding.Woken()) {
      RelayLog(
          front.end == TClientFront::TEnd::Refused ? TRelayLogLevel::Info : TRelayLogLevel::Debug,
          DescribeConnection(thread) + ": " + front.reason);
    }
    throw ESessionEndLogged(front.reason);
  }
  DataOf(thread).Copy.Preload(front.readAhead);
}

bool TMappedPortTCP::FindPassword(const TLoginAccount& account, TSecret& password,
                                  std::string& reason) {
  TPasswordLookup found;
  if (Passwords) {
    found = Passwords->Find(account);
  } else {
    found.result = TPasswordLookup::TResult::Unavailable;
    found.reason = "no keyring to ask";
  }
  const std::string key = account.Describe();
  std::lock_guard<std::mutex> guard(missingLock_);
  if (found.result == TPasswordLookup::TResult::Found && !found.password.Empty()) {
    if (missing_.erase(key)) {
      RelayLog(TRelayLogLevel::Info, "a password for " + key + " is found: logging in again");
    }
    password = std::move(found.password);
    return true;
  }
  reason = found.reason.empty() ? std::string("none is stored") : found.reason;
  if (reason.find("secret-tool") == std::string::npos)
    reason += "; store it with " + StorePasswordCommand(account);
  if (missing_.insert(key).second) {
    RelayLog(TRelayLogLevel::Warning, "no password for " + key + ": " + reason +
                                          " (mail on this route gets a 421 until there is one)");
  }
  return false;
}

void TMappedPortTCP::AnswerClient(TPeerThread& thread, const std::string& reply) {
  TTCPServerConnection& inbound = *thread.InboundConnection;
  if (inbound.SocketBinding.Woken()) return;  // the relay is being destroyed
  try {
    inbound.WriteText(reply);
  } catch (const ENetException& e) {
    RelayLog(TRelayLogLevel::Info, DescribeConnection(thread) +
                                       ": the client did not take the reply: " + OneLine(e.what()));
  }
}

bool TMappedPortTCP::HandleExecute(TPeerThread& thread) {
  TMappedPortTCPData& data = DataOf(thread);
  try {
    switch (data.Copy.Run(HalfClosedIdleTime)) {
      case TCopyPass::TOutcome::Relaying:
        break;
      case TCopyPass::TOutcome::Ended:
        EndRelayedConnection(thread, true);
        break;
      case TCopyPass::TOutcome::Idle:
        RelayLog(TRelayLogLevel::Info, DescribeConnection(thread) + ": closed after " +
                                           std::to_string(HalfClosedIdleTime) +
                                           " ms with one side ended and nothing moving");
        EndRelayedConnection(thread, true);
        break;
      case TCopyPass::TOutcome::Abandoned:
        EndRelayedConnection(thread, false);
        break;
    }
  } catch (const ESocketError& e) {
    if (thread.InboundConnection->SocketBinding.Woken()) {
      // The relay is being destroyed, which is what made the call fail.
      EndRelayedConnection(thread, false);
      return true;
    }
    if (EndsAtOnce(e.LastError)) {
      TTCPConnection* failed = data.Copy.FailedSide();
      // How sessions often close rather than a failure: the server had said
      // goodbye (ended its sending), or the mail program had ended and left
      // without reading the rest (a reply to QUIT). A server that fails
      // after the client ended may have lost the mail: that one is logged.
      const bool closing = data.Copy.ToClient().ended || (data.Copy.ToUpstream().ended &&
                                                          failed == thread.InboundConnection.get());
      // The failed side can take nothing more; what it sent before it
      // failed still goes on, and the other side gets an orderly close.
      if (failed) {
        data.Copy.DeliverRest(*failed, LingerTime);
        failed->CloseConnection();
      }
      EndRelayedConnection(thread, true);
      if (closing) {
        RelayLog(TRelayLogLevel::Debug,
                 DescribeConnection(thread) + " ended as it closed: " + ReasonOf(e));
        return true;
      }
    }
    throw;  // the worker's rules log it, and drop it or end the worker
  } catch (const ETlsError& e) {
    // Only the upstream side speaks TLS. What it sent before the failure
    // passed its checks and goes on; then the client's connection is reset,
    // so that a reply cut off there never reads as a whole one.
    TTCPConnection& upstream = *data.UpstreamClient;
    data.Copy.DeliverRest(upstream, LingerTime);
    upstream.CloseConnection();
    thread.InboundConnection->CloseWithReset(LingerTime);
    RelayLog(TRelayLogLevel::Warning, DescribeConnection(thread) + ": " + OneLine(e.what()) +
                                          "; the client's connection was reset");
  }
  return true;
}

void TMappedPortTCP::HandleDisconnect(TPeerThread& thread) {
  TTCPServer::HandleDisconnect(thread);
  EndRelayedConnection(thread, true);
}

void TMappedPortTCP::EndRelayedConnection(TPeerThread& thread, bool lingering) {
  TTCPServerConnection& inbound = *thread.InboundConnection;
  TTCPConnection* upstream = thread.AttachedData ? DataOf(thread).UpstreamClient.get() : nullptr;
  if (lingering && !inbound.SocketBinding.Woken()) {
    // Inbound first, the upstream side last.
    const int error = upstream
                          ? CloseLingering({&inbound, upstream}, LingerTime, &inbound.SocketBinding)
                          : CloseLingering({&inbound}, LingerTime, &inbound.SocketBinding);
    if (error) {
      // Both sides are done by now: nothing is lost.
      RelayLog(TRelayLogLevel::Debug,
               DescribeConnection(thread) + ": while closing: " + ReasonOfSocketError(error));
    }
    return;
  }
  inbound.CloseConnection();
  if (upstream) upstream->CloseConnection();
}

std::string TMappedPortTCP::Upstream() const {
  // Never a password, should the text hold one.
  return ParseServerText(MappedHost).shown + ":" + std::to_string(MappedPort & 0xFFFF);
}

std::string TMappedPortTCP::DescribeConnection(const TPeerThread& thread) const {
  return "relayed connection from " + thread.PeerIP() + ":" + std::to_string(thread.PeerPort()) +
         " to " + Upstream();
}

std::string TMappedPortTCP::DescribeWorkerEnd(const TPeerThread& thread, bool duringSetup,
                                              const std::exception& reason) const {
  if (!duringSetup) {
    // A reset or an abort: which side did it is the first thing to know.
    const auto* socketError = dynamic_cast<const ESocketError*>(&reason);
    const TTCPConnection* failed =
        thread.AttachedData
            ? static_cast<const TMappedPortTCPData&>(*thread.AttachedData).Copy.FailedSide()
            : nullptr;
    if (socketError && EndsAtOnce(socketError->LastError) && failed) {
      return DescribeConnection(thread) + " ended by " +
             (failed == thread.InboundConnection.get() ? "the mail program" : "the server") + ": " +
             ReasonOf(reason);
    }
    return TTCPServer::DescribeWorkerEnd(thread, false, reason);
  }
  // The setup is the upstream connect, and for a secure route its start.
  const std::string client =
      "relayed connection from " + thread.PeerIP() + ":" + std::to_string(thread.PeerPort());
  if (dynamic_cast<const ESessionEndLogged*>(&reason)) return {};  // logged where it ended
  if (const auto* refused = dynamic_cast<const ELoginRefused*>(&reason)) {
    return client + ": login to " + Upstream() + " as " + ParseServerText(MappedHost).user +
           " refused: " + OneLine(refused->what());
  }
  if (dynamic_cast<const ESessionError*>(&reason)) {
    const TUpstreamRoute route = ParseServerText(MappedHost);
    if (route.loginError) return client + ": no login to " + Upstream() + ": " + route.error;
    return client +
           (ParseServerText(MappedHost).security == TUpstreamSecurity::Plain
                ? ": upstream server " + Upstream() + " cannot be reached: "
                : ": no secure connection to " + Upstream() + ": ") +
           OneLine(reason.what());
  }
  if (const auto* timedOut = dynamic_cast<const EConnectTimedOut*>(&reason)) {
    return client + ": connect to " + Upstream() + " failed: no answer within " +
           DescribeLimit(timedOut->LimitMs) + " (ETIMEDOUT)";
  }
  const auto* socketError = dynamic_cast<const ESocketError*>(&reason);
  if (socketError && socketError->LastError == kErrConnAborted && thread.ClientHungUp()) {
    // The connect was given up because the client had gone.
    return client + ": the client left before " + Upstream() + " answered";
  }
  return client + ": connect to " + Upstream() + " failed: " + ReasonOf(reason);
}

}  // namespace vantelo::relay
