#include "relay/mapped_port/mapped_port_tcp.h"

#include "relay/log_sink.h"
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
  thread.AttachedData = std::make_unique<TMappedPortTCPData>(*thread.InboundConnection);
  TTCPClient& client = *DataOf(thread).UpstreamClient;
  client.Port = MappedPort;
  client.Host = MappedHost;
  if (OnBeforeClientConnect) OnBeforeClientConnect(this, &thread, &client);
  // A relay being destroyed wakes the inbound side; that also ends a connect
  // that is still waiting for the upstream server.
  client.Connect(&thread.InboundConnection->SocketBinding);
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
      const bool closing = data.Copy.ToClient().ended ||
                           (data.Copy.ToUpstream().ended && failed == thread.InboundConnection.get());
      // The failed side can take nothing more; the other still gets an
      // orderly close.
      if (failed) failed->CloseConnection();
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
  TTCPConnection* upstream =
      thread.AttachedData ? DataOf(thread).UpstreamClient.get() : nullptr;
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
  // The setup is the upstream connect.
  const std::string client =
      "relayed connection from " + thread.PeerIP() + ":" + std::to_string(thread.PeerPort());
  const auto* socketError = dynamic_cast<const ESocketError*>(&reason);
  if (socketError && socketError->LastError == kErrConnAborted && thread.ClientHungUp()) {
    // The connect was given up because the client had gone.
    return client + ": the client left before " + Upstream() + " answered";
  }
  return client + ": connect to " + Upstream() + " failed: " + ReasonOf(reason);
}

}  // namespace vantelo::relay
