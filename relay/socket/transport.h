// How the bytes of a connected socket travel: as they are (TPlainTransport),
// or inside TLS (tls_transport.h). A TTCPConnection sends and receives only
// through its transport, so nothing above it knows which one it has.
//
// All calls are non-blocking and made by the connection's owner thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <sys/types.h>

#include "relay/socket/socket_handle.h"

namespace vantelo::relay {

// What a socket must become before a call that could not go on can go on.
enum class TNeed {
  Readable,
  Writable,
  Nothing,  // the call can go on at once: bytes already wait in the transport
};

class TTransport {
 public:
  virtual ~TTransport() = default;

  // The count moved; Receive gives 0 at the peer's end of its sending. -1
  // with the relay's error number in `error`; kErrWouldBlock means: call
  // again once the socket is as ReceiveNeeds() / SendNeeds() say. A failure
  // of the transport's own protocol raises ETlsError.
  virtual ssize_t Receive(char* buffer, std::size_t length, int& error) = 0;
  virtual ssize_t Send(const char* data, std::size_t length, int& error) = 0;
  virtual TNeed ReceiveNeeds() const = 0;
  virtual TNeed SendNeeds() const = 0;

  // Ends this side's sending. With `closing` (the connection closes next)
  // the peer learns it at once. Without, a transport may hold the end back
  // until its peer has ended too, where passing it on could make the peer
  // stop sending what is still owed (see TTlsTransport).
  virtual void EndSending(bool closing) = 0;
};

// Bytes exactly as they are.
class TPlainTransport final : public TTransport {
 public:
  explicit TPlainTransport(TSocketHandle& socket) : socket_(socket) {}
  ssize_t Receive(char* buffer, std::size_t length, int& error) override;
  ssize_t Send(const char* data, std::size_t length, int& error) override;
  TNeed ReceiveNeeds() const override { return TNeed::Readable; }
  TNeed SendNeeds() const override { return TNeed::Writable; }
  void EndSending(bool) override { socket_.EndSending(); }

 private:
  TSocketHandle& socket_;
};

// How a bounded wait on one socket ended.
enum class TWaitEnd { Ready, TimedOut, Abandoned };

// Waits until `socket` is as `need` says (Nothing: at once), until
// `deadline`, or until `abandonOnHangUp` (may be null) hangs up, is woken,
// or ends its sending with nothing left unread (a client that gave up).
// A failed wait raises ESocketError.
TWaitEnd WaitForSocket(const TSocketHandle& socket, TNeed need,
                       std::chrono::steady_clock::time_point deadline,
                       const TSocketHandle* abandonOnHangUp);

}  // namespace vantelo::relay
