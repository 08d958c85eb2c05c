#include "relay/socket/tcp_connection.h"

#include <algorithm>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <utility>

#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

std::atomic<int> gSocketLayerUsers{0};

std::string FormatStatus(TNetComponent::TStatus status, const std::string& argument) {
  switch (status) {
    case TNetComponent::hsResolving:
      return "Resolving hostname " + argument + ".";
    case TNetComponent::hsConnecting:
      return "Connecting to " + argument + ".";
    case TNetComponent::hsConnected:
      return "Connected.";
    case TNetComponent::hsDisconnecting:
      return "Disconnecting from " + argument + ".";
    case TNetComponent::hsDisconnected:
      return "Not connected.";
    case TNetComponent::hsText:
      return argument;
  }
  return argument;
}

}  // namespace

TNetComponent::TNetComponent() { gSocketLayerUsers.fetch_add(1, std::memory_order_relaxed); }

TNetComponent::~TNetComponent() { gSocketLayerUsers.fetch_sub(1, std::memory_order_relaxed); }

int TNetComponent::SocketLayerUsers() { return gSocketLayerUsers.load(); }

void TNetComponent::DoStatus(TStatus status, const std::string& argument) {
  if (OnStatus) OnStatus(this, status, FormatStatus(status, argument));
}

TTCPConnection::TTCPConnection() = default;

TTCPConnection::~TTCPConnection() {
  // The transport may still refer to the socket: it goes first.
  transport_ = &plain_;
  secure_.reset();
  SocketBinding.CloseSocketHandle(true);
}

void TTCPConnection::UseTransport(std::unique_ptr<TTransport> transport) {
  secure_ = std::move(transport);
  transport_ = secure_ ? secure_.get() : &plain_;
}

bool TTCPConnection::WaitUntil(TNeed need, int limitMs) {
  if (need == TNeed::Nothing) return true;
  TSocketList list{SocketBinding.SocketHandle()};
  return need == TNeed::Readable ? GStack().WaitOnSets(&list, nullptr, limitMs) == 1
                                 : GStack().WaitOnSets(nullptr, &list, limitMs) == 1;
}

void TTCPConnection::CheckClosed(bool raise, bool ignorePending) {
  if (!peerClosed_ && SocketBinding.SocketOpen()) return;
  if (SocketBinding.SocketOpen()) CloseConnection();
  if (raise && (ignorePending || pending_.empty())) throw EConnClosedGracefully();
}

bool TTCPConnection::IsConnected() {
  CheckClosed(false, false);
  return SocketBinding.SocketOpen();
}

void TTCPConnection::CloseConnection() {
  if (SocketBinding.SocketOpen()) {
    std::string remote = SocketBinding.RemoteIP;
    DoStatus(hsDisconnecting, remote);
    if (secure_) {
      // Its end goes out before the socket's, and it must not outlive the
      // descriptor, whose number the system may hand out again.
      secure_->EndSending(true);
      transport_ = &plain_;
      secure_.reset();
    }
    SocketBinding.CloseSocketHandle(true);
    peerClosed_ = true;
    DoStatus(hsDisconnected, remote);
    if (OnDisconnected) OnDisconnected(this);
  }
}

void TTCPConnection::CloseWithReset(int limitMs) {
  if (!SocketBinding.SocketOpen()) return;
  constexpr int kStepMs = 10;
  for (int waited = 0; waited < limitMs && !SocketBinding.Woken(); waited += kStepMs) {
    if (SocketBinding.Unacknowledged() <= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  }
  const std::string remote = SocketBinding.RemoteIP;
  DoStatus(hsDisconnecting, remote);
  transport_ = &plain_;
  secure_.reset();
  SocketBinding.CloseWithReset();
  peerClosed_ = true;
  DoStatus(hsDisconnected, remote);
  if (OnDisconnected) OnDisconnected(this);
}

int TTCPConnection::FillPending(bool raise, int limitMs) {
  CheckClosed(raise, false);
  if (!IsConnected()) return 0;
  if (receiveBlock_.empty()) receiveBlock_.resize(static_cast<std::size_t>(RecvBufferSize));
  if (!SocketBinding.SocketOpen()) throw EConnClosedGracefully();
  if (!WaitUntil(transport_->ReceiveNeeds(), limitMs)) return 0;
  int number = 0;
  ssize_t received = transport_->Receive(receiveBlock_.data(), receiveBlock_.size(), number);
  if (received == 0) peerClosed_ = true;
  if (received > 0) hasReceived_ = true;
  if (received == -1) {
    if (number == kErrWouldBlock) return 0;
    if (number == kErrShutdown) {
      if (SocketBinding.SocketOpen()) CloseConnection();
      if (pending_.empty()) throw ESocketError(number);
      return 0;
    }
    throw ESocketError(number);
  }
  pending_.append(receiveBlock_.data(), static_cast<std::size_t>(received));
  CheckClosed(raise, false);
  return static_cast<int>(received);
}

TByteText TTCPConnection::TakePending(std::size_t n) {
  if (pending_.size() < n) throw ENotEnoughDataInBuffer();
  if (n == pending_.size()) return std::exchange(pending_, std::string());
  TByteText taken = pending_.substr(0, n);
  pending_.erase(0, n);
  return taken;
}

TByteText TTCPConnection::ReadAvailable() {
  if (!IsConnected()) return {};
  FillPending(false, kInfiniteWait);
  return TakePending(pending_.size());
}

void TTCPConnection::WriteText(const TByteText& text) {
  if (!text.empty()) WriteBytes(text.data(), text.size());
}

void TTCPConnection::WriteBytes(const char* data, std::size_t count) {
  if (count == 0 || data == nullptr) return;
  CheckClosed(true, true);
  std::size_t sent = 0;
  while (sent < count) {
    int number = 0;
    ssize_t n = transport_->Send(data + sent, count - sent, number);
    if (n == 0) peerClosed_ = true;
    CheckClosed(true, false);
    if (n == -1) {
      if (number == kErrWouldBlock) {
        WaitUntil(transport_->SendNeeds(), kInfiniteWait);
        continue;
      }
      if (number == kErrShutdown) CloseConnection();
      throw ESocketError(number);
    }
    sent += static_cast<std::size_t>(n);
  }
}

ssize_t TTCPConnection::ReceiveSome(char* buffer, std::size_t capacity) {
  const std::size_t limit = RecvBufferSize > 0 ? static_cast<std::size_t>(RecvBufferSize) : 1;
  int number = 0;
  ssize_t received = transport_->Receive(buffer, std::min(capacity, limit), number);
  if (received > 0) {
    hasReceived_ = true;
    return received;
  }
  if (received == 0) {
    peerEnded_ = true;
    return 0;
  }
  if (number == kErrWouldBlock) return -1;
  if (number == kErrShutdown) CloseConnection();
  throw ESocketError(number);
}

std::size_t TTCPConnection::SendSome(const char* data, std::size_t count) {
  CheckClosed(true, true);
  int number = 0;
  ssize_t sent = transport_->Send(data, count, number);
  if (sent >= 0) return static_cast<std::size_t>(sent);
  if (number == kErrWouldBlock) return 0;
  if (number == kErrShutdown) CloseConnection();
  throw ESocketError(number);
}

void TTCPConnection::ResetState() {
  transport_ = &plain_;
  secure_.reset();
  SocketBinding.Reset(true);
  pending_.clear();
  peerClosed_ = false;
  peerEnded_ = false;
  hasReceived_ = false;
}

void TTCPClient::Connect(const TSocketHandle* abandonOnHangUp, int limitMs) {
  if (SocketBinding.SocketOpen()) throw EAlreadyConnected();
  ResetState();
  try {
    // The address decides the family of the socket, so the name is resolved
    // before the socket is opened.
    if (!TSocketStack::IsDottedAddress(Host)) DoStatus(hsResolving, Host);
    const std::string remote = GStack().ResolveHost(Host);
    // Non-blocking from the start, so that the wait below has its own limit
    // and can also watch the socket whose hang-up abandons the connect.
    SocketBinding.OpenSocket(SOCK_STREAM | SOCK_NONBLOCK, 0, TSocketStack::FamilyOf(remote));
    // Without a local address the connect itself takes the wildcard address
    // and an ephemeral port, as an explicit bind would, one call cheaper.
    if (!BoundIP.empty()) {
      SocketBinding.IP = BoundIP;
      SocketBinding.Port = 0;
      SocketBinding.Bind();
    }
    SocketBinding.RemoteIP = remote;
    SocketBinding.RemotePort = Port & 0xFFFF;
    if (!UseNagle) SocketBinding.SetOption(IPPROTO_TCP, TCP_NODELAY, 1);
    DoStatus(hsConnecting, SocketBinding.RemoteIP);
    if (SocketBinding.Connect() == -1 &&
        GStack().CheckForSocketError(-1, {kErrInProgress}) == kErrInProgress) {
      const TSocket s = SocketBinding.SocketHandle();
      TSocketList write{s};
      TSocketList hungUp;
      if (abandonOnHangUp && abandonOnHangUp->SocketOpen()) {
        hungUp.push_back(abandonOnHangUp->SocketHandle());
      }
      const int ready = GStack().WaitOnSets(nullptr, &write, limitMs, &hungUp);
      GStack().CheckForSocketError(ready);
      if (ready == 0) throw EConnectTimedOut(limitMs);
      if (!hungUp.empty() && write.empty()) throw ESocketError(kErrConnAborted);
      if (int error = GStack().PendingError(s)) throw ESocketError(error);
      SocketBinding.RefreshLocal();  // the remote side is the one connected to
    }
  } catch (...) {
    try {
      CloseConnection();
    } catch (const std::exception& e) {
      // The connect's own failure goes on to the caller, who reports it.
      RelayLog(TRelayLogLevel::Warning, "closing a failed connect: " + ReasonOf(e));
    }
    throw;
  }
  DoStatus(hsConnected, SocketBinding.RemoteIP);
  if (OnConnected) OnConnected(this);
}

}  // namespace vantelo::relay
