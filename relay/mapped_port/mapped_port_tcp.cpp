#include "relay/mapped_port/mapped_port_tcp.h"

#include <algorithm>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

bool Holds(const TSocketList& list, TSocket s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

// Receives one unit from `from` into an empty `unit`; false when `from` has
// closed (its socket is then closed).
bool ReceiveUnit(TTCPConnection& from, TRelayUnit& unit) {
  ssize_t received = from.ReceiveSome(unit.data, kRelayUnitSize);
  if (received == 0) return false;
  if (received > 0) {
    unit.begin = 0;
    unit.end = static_cast<std::size_t>(received);
  }
  return true;
}

// Sends as much of `unit` to `to` as it takes now.
void FlushUnit(TRelayUnit& unit, TTCPConnection& to) {
  while (!unit.Empty()) {
    std::size_t sent = to.SendSome(unit.data + unit.begin, unit.end - unit.begin);
    if (sent == 0) return;
    unit.begin += sent;
  }
}

// Pending error of a side that was watched only for failure: raise it, or,
// when it simply hung up (both ways shut: a reset, or woken by the relay's
// destruction), close it.
void HandleHangUp(TTCPConnection& side) {
  if (int error = GStack().PendingError(side.SocketBinding.SocketHandle())) {
    throw ESocketError(error);
  }
  side.CloseConnection();
}

}  // namespace

TMappedPortTCPData::TMappedPortTCPData()
    : UpstreamClient(std::make_unique<TTCPClient>()),
      buffers_(new char[2 * kRelayUnitSize]) {
  WaitList.reserve(2);
  WriteList.reserve(2);
  HangUpList.reserve(2);
  ToUpstream.data = buffers_.get();
  ToClient.data = buffers_.get() + kRelayUnitSize;
}

void TMappedPortTCP::HandleConnect(TPeerThread& thread) {
  TTCPServer::HandleConnect(thread);
  auto data = std::make_unique<TMappedPortTCPData>();
  TTCPClient& client = *data->UpstreamClient;
  thread.AttachedData = std::move(data);
  client.Port = MappedPort;
  client.Host = MappedHost;
  // A relay being destroyed wakes the inbound side; that also ends a connect
  // that is still waiting for the upstream server.
  client.AbandonWhenHungUp = &thread.InboundConnection->SocketBinding;
  if (OnBeforeClientConnect) OnBeforeClientConnect(this, &thread, &client);
  client.Connect();
}

bool TMappedPortTCP::HandleExecute(TPeerThread& thread) {
  auto& d = static_cast<TMappedPortTCPData&>(*thread.AttachedData);
  TTCPServerConnection& inbound = *thread.InboundConnection;
  TTCPClient& upstream = *d.UpstreamClient;

  try {
    const TSocket in = inbound.SocketBinding.SocketHandle();
    const TSocket up = upstream.SocketBinding.SocketHandle();
    const bool upOpen = upstream.SocketBinding.SocketOpen();
    d.WaitList.clear();
    d.WriteList.clear();
    d.HangUpList.clear();
    // Read a side only while its unit is free; wait for room on a side only
    // while a unit waits for it. Once the upstream side has closed, only the
    // bytes it sent before are still delivered to the client.
    bool watchIn = false;
    if (upOpen && d.ToUpstream.Empty()) d.WaitList.push_back(in), watchIn = true;
    if (!d.ToClient.Empty()) d.WriteList.push_back(in), watchIn = true;
    if (!watchIn) d.HangUpList.push_back(in);
    if (upOpen) {
      bool watchUp = false;
      if (d.ToClient.Empty()) d.WaitList.push_back(up), watchUp = true;
      if (!d.ToUpstream.Empty()) d.WriteList.push_back(up), watchUp = true;
      if (!watchUp) d.HangUpList.push_back(up);
    }

    if (GStack().WaitOnSets(&d.WaitList, &d.WriteList, kInfiniteWait, &d.HangUpList) > 0) {
      if (Holds(d.HangUpList, in)) {
        HandleHangUp(inbound);
        return true;
      }
      if (upOpen && Holds(d.HangUpList, up)) HandleHangUp(upstream);

      // Client to server first.
      if (Holds(d.WaitList, in)) {
        if (!ReceiveUnit(inbound, d.ToUpstream)) return true;  // the client closed
      }
      if (!d.ToUpstream.Empty() && upstream.SocketBinding.SocketOpen()) {
        FlushUnit(d.ToUpstream, upstream);
      }
      // Then server to client.
      if (upOpen && Holds(d.WaitList, up) && upstream.SocketBinding.SocketOpen()) {
        ReceiveUnit(upstream, d.ToClient);
      }
      if (!d.ToClient.Empty()) FlushUnit(d.ToClient, inbound);
    }
  } catch (...) {
    if (!upstream.IsConnected()) inbound.CloseConnection();
    throw;
  }
  // The upstream server has closed: once everything it sent has reached the
  // client, close the client too.
  if (!upstream.IsConnected()) {
    d.ToUpstream = TRelayUnit{d.ToUpstream.data};
    if (d.ToClient.Empty()) inbound.CloseConnection();
  }
  return true;
}

}  // namespace vantelo::relay
