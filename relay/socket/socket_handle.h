// One socket with its local and remote addresses, and the collection of
// listening sockets of a server.
//
// A handle is used by one thread at a time (its owner), with one exception:
// any thread may call Wake(), which shuts the socket down both ways so that
// the owner's waits and receives end, and marks the handle woken. Only the
// owner closes the descriptor, and Wake() and CloseSocketHandle() are
// serialised, so a wake never reaches a descriptor number that has been closed
// and handed out again.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <utility>
#include <vector>

#include "relay/socket/socket_stack.h"

namespace vantelo::relay {

class TSocketHandles;

class TSocketHandle {
 public:
  explicit TSocketHandle(TSocketHandles* collection = nullptr);
  ~TSocketHandle();  // CloseSocketHandle(true)
  TSocketHandle(const TSocketHandle&) = delete;
  TSocketHandle& operator=(const TSocketHandle&) = delete;

  std::string IP;  // local address; empty means every local address
  int Port = 0;    // local port
  std::string RemoteIP;
  int RemotePort = 0;

  TSocket SocketHandle() const { return socket_.load(std::memory_order_acquire); }
  bool SocketOpen() const { return open_.load(std::memory_order_acquire); }

  // Closes any open socket, then creates one of `family` (EInvalidSocket).
  void OpenSocket(int type, int protocol = 0, int family = AF_INET);
  // If open: mark closed, shut down sending (unless EndSending did), close,
  // Reset. Twice is harmless.
  void CloseSocketHandle(bool resetLocal = true);
  // Binds to IP and Port (0: the system chooses) and reads the result back.
  // Address in use raises ECouldNotBindSocket, others ESocketError.
  void Bind();
  void Listen(int backlog);
  // Accepts one pending connection from `listener` into this handle, which
  // becomes non-blocking. Failures raise ESocketError with their number.
  void AcceptFrom(TSocket listener);
  // Connects to RemoteIP:RemotePort; returns the platform result.
  int Connect();
  // True when the socket is readable within limitMs (kInfiniteWait: no
  // limit). No open socket raises EConnClosedGracefully.
  bool WaitReadable(int limitMs);
  ssize_t Send(const void* data, std::size_t length);
  ssize_t Receive(void* buffer, std::size_t length);
  void SetOption(int level, int option, int value);
  void SetNonBlocking(bool on);
  void Reset(bool resetLocal);
  void RefreshLocal();
  void RefreshRemote();

  // Shuts the socket down for sending, once: the peer reads everything sent
  // before, then the end, while bytes can still come the other way.
  void EndSending();
  bool SendingEnded() const { return sendingEnded_; }

  // Closes with a reset (SO_LINGER 0, and no end of sending before): the
  // peer reads what has arrived, then ECONNRESET, never an orderly end.
  void CloseWithReset();
  // Bytes sent that the peer's system has not acknowledged yet; -1 unknown.
  int Unacknowledged() const;

  // Any thread: mark the handle woken, and shut its socket down both ways if
  // it is still open.
  void Wake();
  // Any thread: Wake() has been called since the last socket was opened or
  // accepted (also after that socket was closed).
  bool Woken() const { return woken_.load(std::memory_order_acquire); }

 private:
  void Adopt(TSocket s);

  std::mutex closeLock_;
  std::atomic<TSocket> socket_{kInvalidSocket};
  std::atomic<bool> open_{false};
  std::atomic<bool> woken_{false};
  bool sendingEnded_ = false;  // owner only
};

// Listening sockets, bound and listening, handed from one server to the next.
using TListeningSockets = std::vector<std::unique_ptr<TSocketHandle>>;

// The listening sockets of a server. Items are added with DefaultPort.
class TSocketHandles {
 public:
  int DefaultPort = 0;
  TSocketHandle& Add();
  // Takes a socket that another collection gave up, as it is.
  void Adopt(std::unique_ptr<TSocketHandle> handle) { items_.push_back(std::move(handle)); }
  // Gives up every item, open sockets included; the collection is then empty.
  TListeningSockets TakeAll() { return std::exchange(items_, {}); }
  std::size_t Count() const { return items_.size(); }
  TSocketHandle& operator[](std::size_t i) { return *items_[i]; }
  void Clear() { items_.clear(); }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TSocketHandle>> items_;
};

}  // namespace vantelo::relay
