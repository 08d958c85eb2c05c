// Buffered TCP connections: the base of both sides of a relayed connection,
// and the outbound client that opens the upstream side.
//
// A connection belongs to one thread at a time. The only call another thread
// may make is Wake() on its SocketBinding (see socket_handle.h).
//
// Sockets are non-blocking once connected or accepted, so that the relay can
// move both directions at once; ReadAvailable and WriteBytes still behave as
// blocking calls by waiting on the socket themselves.
//
// Every byte goes through the connection's transport (transport.h): plain
// until UseTransport hands it another one (TLS), for the rest of the socket's
// life.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "relay/socket/socket_handle.h"
#include "relay/socket/transport.h"

namespace vantelo::relay {

// A counted string of bytes; any value, NUL included.
using TByteText = std::string;

// Every server, inbound connection and client counts as one user of the
// socket layer while it exists.
class TNetComponent {
 public:
  TNetComponent();
  virtual ~TNetComponent();
  TNetComponent(const TNetComponent&) = delete;
  TNetComponent& operator=(const TNetComponent&) = delete;

  enum TStatus { hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected, hsText };
  using TStatusEvent =
      std::function<void(TNetComponent* sender, TStatus status, const std::string& statusText)>;
  // Status notices are formatted and delivered only while this is set.
  TStatusEvent OnStatus;

  static int SocketLayerUsers();

 protected:
  void DoStatus(TStatus status, const std::string& argument);
};

class TTCPConnection : public TNetComponent {
 public:
  TTCPConnection();
  ~TTCPConnection() override;

  TSocketHandle SocketBinding;
  int RecvBufferSize = 32768;
  int SendBufferSize = 32768;
  std::function<void(TTCPConnection*)> OnDisconnected;

  bool PeerClosed() const { return peerClosed_; }

  // If the peer closed or no socket is open: close an open socket, then raise
  // EConnClosedGracefully when `raise` and (ignorePending or nothing pending).
  void CheckClosed(bool raise, bool ignorePending);
  // CheckClosed without raising; true while a socket is open.
  bool IsConnected();
  // Closes an open socket with its notices and OnDisconnected; marks PeerClosed.
  // The transport ends its sending first and goes with the socket.
  void CloseConnection();
  // Ends the connection with a reset instead of an orderly close, so that
  // what the peer got cannot read as complete: once the peer's system has
  // acknowledged every byte sent (at most limitMs, or until the socket is
  // woken), it reads them all, then ECONNRESET. The transport goes without
  // ending its sending.
  void CloseWithReset(int limitMs);
  // One wait (limitMs) and one receive of at most RecvBufferSize bytes,
  // appended to the pending input; returns the count received.
  int FillPending(bool raise, int limitMs);
  // The first n pending bytes (ENotEnoughDataInBuffer when fewer are held).
  TByteText TakePending(std::size_t n);
  // The bytes of at most one receive; empty when the peer has closed.
  TByteText ReadAvailable();
  // Sends every byte; an empty text sends nothing and checks nothing.
  void WriteText(const TByteText& text);
  void WriteBytes(const char* data, std::size_t count);
  void ResetState();

  // Non-blocking steps for the relay's copy pass, which waits by itself.
  // ReceiveSome: one receive of at most `capacity` bytes, and never more than
  // RecvBufferSize, into `buffer`: the count; 0 when the peer has ended its
  // sending (PeerEnded() is then true and the socket stays open, so that bytes
  // can still go the other way); -1 when nothing is there yet. SendSome: one
  // send; the count taken, 0 when it cannot take more yet. Both raise
  // ESocketError on failure (10058 closes the connection first), ETlsError
  // when the transport's protocol fails; SendSome on a closed connection
  // raises EConnClosedGracefully.
  ssize_t ReceiveSome(char* buffer, std::size_t capacity);
  std::size_t SendSome(const char* data, std::size_t count);
  // What the socket must become before the next ReceiveSome / SendSome that
  // gave nothing can give more (Nothing: it can at once).
  TNeed ReceiveNeeds() const { return transport_->ReceiveNeeds(); }
  TNeed SendNeeds() const { return transport_->SendNeeds(); }
  // The peer has ended its sending: a ReceiveSome returned 0.
  bool PeerEnded() const { return peerEnded_; }
  // Some byte has been received on this socket, through any transport.
  bool HasReceived() const { return hasReceived_; }
  // Ends this side's sending, once the transport can do so without cutting
  // off what the peer still sends (plain: at once, a shut-down for sending).
  void EndSending() { transport_->EndSending(false); }
  // Ends this side's sending now: the connection is about to close.
  void FinishSending() { transport_->EndSending(true); }

  // From now on every byte of this socket goes through `transport`.
  void UseTransport(std::unique_ptr<TTransport> transport);

  // Waits until the socket is as `need` says, at most limitMs.
  bool WaitUntil(TNeed need, int limitMs);

 private:
  TPlainTransport plain_{SocketBinding};
  std::unique_ptr<TTransport> secure_;  // when set, transport_ points to it
  TTransport* transport_ = &plain_;
  std::string pending_;
  std::vector<char> receiveBlock_;  // allocated on first use, then reused
  bool peerClosed_ = false;
  bool peerEnded_ = false;
  bool hasReceived_ = false;
};

// The inbound side of a relayed connection, accepted by a server's listener.
class TTCPServerConnection : public TTCPConnection {};

class TTCPClient : public TTCPConnection {
 public:
  std::string BoundIP;
  std::string Host;
  int Port = 0;  // only the low 16 bits reach the socket address
  bool UseNagle = true;
  std::function<void(TTCPClient*)> OnConnected;

  // Resolves Host, then opens a socket of the address's family, binds it to
  // BoundIP when set, and connects. A failure closes the socket and raises;
  // an open socket raises EAlreadyConnected and stays open.
  //
  // The connect waits at most limitMs for the server's answer (kInfiniteWait:
  // as long as the platform tries, over two minutes on Linux), then raises
  // EConnectTimedOut. With `abandonOnHangUp`, it is also abandoned
  // (ESocketError 10053) as soon as that other socket hangs up: its peer
  // resets it, or another thread wakes it. The relay passes its inbound side,
  // so that a relay being destroyed does not wait out the connect. The handle
  // is only read during this call; it must outlive the call.
  void Connect(const TSocketHandle* abandonOnHangUp = nullptr, int limitMs = kInfiniteWait);
};

}  // namespace vantelo::relay
