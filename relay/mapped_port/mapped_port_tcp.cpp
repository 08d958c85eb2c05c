#include "relay/mapped_port/mapped_port_tcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "relay/log_sink.h"
#include "relay/mapped_port/secure_prelude.h"
#include "relay/mapped_port/upstream_route.h"
#include "relay/socket/error_words.h"
#include "relay/socket/failure_reason.h"
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
  thread.AttachedData = std::make_unique<TMappedPortTCPData>(*thread.InboundConnection);
  TTCPClient& client = *DataOf(thread).UpstreamClient;
  const TUpstreamRoute route = ParseServerText(MappedHost);
  const bool secure = route.security != TUpstreamSecurity::Plain;
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
                                       DescribeSocketError(GStack().LastError()));
  }
  if (OnBeforeClientConnect) OnBeforeClientConnect(this, &thread, &client);
  const TSocketHandle& inbound = thread.InboundConnection->SocketBinding;
  // Until the session is handed over, the mail program learns why it could
  // not start, and that it may try again later; the teardown then closes its
  // connection in order. A secure route never falls back to plain.
  auto refuse = [&](const std::string& reason) {
    const std::string to = route.host + ":" + std::to_string(MappedPort & 0xFFFF);
    // One reply line, whatever the server text holds.
    AnswerClient(thread, EscapeControls((secure ? "421 4.7.0 No secure connection to " + to + ": "
                                                : "421 4.4.0 " + to + " cannot be reached: ") +
                                        reason) +
                             "\r\n");
  };
  std::string greeting;
  try {
    if (!route.error.empty()) throw ESessionError(route.error);
    // A relay being destroyed wakes the inbound side; that also ends a
    // connect, or a secure start, still waiting for the upstream server.
    client.Connect(&inbound);
    if (secure) greeting = StartSecureSession(client, route, SecurePreludeTime, &inbound);
  } catch (const ESocketError& e) {
    refuse(ErrorInWords(e.LastError));
    throw;
  } catch (const ESessionError& e) {
    refuse(e.what());
    throw;
  }
  // The greeting that the STARTTLS server sent first, now that the client's
  // part can only go inside TLS.
  thread.InboundConnection->WriteText(greeting);
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
               DescribeConnection(thread) + ": while closing: " + DescribeSocketError(error));
    }
    return;
  }
  inbound.CloseConnection();
  if (upstream) upstream->CloseConnection();
}

std::string TMappedPortTCP::Upstream() const {
  return MappedHost + ":" + std::to_string(MappedPort & 0xFFFF);
}

std::string TMappedPortTCP::DescribeConnection(const TPeerThread& thread) const {
  return "relayed connection from " + thread.PeerIP() + ":" + std::to_string(thread.PeerPort()) +
         " to " + Upstream();
}

std::string TMappedPortTCP::DescribeWorkerEnd(const TPeerThread& thread, bool duringSetup,
                                              const std::exception& reason) const {
  if (!duringSetup) return TTCPServer::DescribeWorkerEnd(thread, false, reason);
  // The setup is the upstream connect, and for a secure route its start.
  const std::string client =
      "relayed connection from " + thread.PeerIP() + ":" + std::to_string(thread.PeerPort());
  if (dynamic_cast<const ESessionError*>(&reason)) {
    return client +
           (ParseServerText(MappedHost).security == TUpstreamSecurity::Plain
                ? ": upstream server " + Upstream() + " cannot be reached: "
                : ": no secure connection to " + Upstream() + ": ") +
           OneLine(reason.what());
  }
  const auto* socketError = dynamic_cast<const ESocketError*>(&reason);
  if (socketError && socketError->LastError == kErrConnAborted && thread.ClientHungUp()) {
    // The connect was given up because the client had gone.
    return client + ": the client left before " + Upstream() + " answered";
  }
  return client + ": connect to " + Upstream() + " failed: " + ReasonOf(reason);
}

}  // namespace vantelo::relay
