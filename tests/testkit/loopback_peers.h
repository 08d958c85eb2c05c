// Descriptors and real peers on loopback for the tests: plain blocking
// sockets with receive time-outs, so that a broken relay fails a test instead
// of hanging it; an echoing upstream and a running relay between them; and
// what this process holds (descriptors, threads), for tests that look for
// leaks. Injected faults and the relay's log have headers of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <vector>

#include "relay/mapped_port/mapped_port_tcp.h"

namespace vantelo::testkit {

// A descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept;
  ~Fd();
  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A listening socket with a port of the system's choice, on 127.0.0.1 unless
// another loopback address is given ("127.0.0.10", "::1"). receiveBuffer > 0
// shrinks the receive buffer of the connections it accepts.
class Listener {
 public:
  explicit Listener(const std::string& address = "127.0.0.1", int backlog = SOMAXCONN,
                    int receiveBuffer = 0);
  int Port() const { return port_; }
  // Accepts one connection (receive time-out set), or an empty Fd after timeoutMs.
  Fd Accept(int timeoutMs = 5000);
  // Connections the system has completed and that wait for Accept.
  int Waiting() const;
  void Close() { fd_ = Fd(); }

 private:
  Fd fd_;
  int port_ = 0;
};

// A port of 127.0.0.1 that was free a moment ago, for a relay the test
// starts itself.
int FreePort();
// A socket listening on 127.0.0.1:port, so that no other program's socket
// can listen there while it is open; an empty Fd when the port is taken.
Fd HoldPort(int port);
Fd ConnectTo(int port, int receiveTimeoutMs = 10000);
// True when this machine has the IPv6 loopback address ::1.
bool HasIPv6Loopback();
void SendAll(int fd, const std::string& data);
// Bytes sent on `fd` that its peer's system has not acknowledged yet.
int UnacknowledgedBytes(int fd);
// Closes `fd` once its peer's system has acknowledged every byte sent on it.
// A socket closed with bytes still queued loses them when data arrives after
// the close: its own system answers that with a reset and drops the queue,
// which no relay can prevent. False, with `fd` left open, when the queue has
// not emptied within timeoutMs.
bool CloseOnceAcknowledged(Fd& fd, int timeoutMs = 30000);
// Reads until `count` bytes, end of stream or time-out.
std::string ReceiveUpTo(int fd, std::size_t count);
// Reads until end of stream or time-out.
std::string ReceiveAll(int fd);
// True when the peer closes within the receive time-out without sending.
bool ClosesWithoutBytes(int fd);
// Discards what comes until the peer closes or resets: true; false on time-out.
bool SeesEnd(int fd);
std::string RandomBytes(std::size_t count, unsigned seed);
// Closes with a reset instead of an orderly close.
void Reset(Fd& fd);

// What this process holds now.
int CountOpenDescriptors();
int CountThreads();
// Polls `condition` every 20 ms for at most timeoutMs.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000);
long long MillisecondsSince(std::chrono::steady_clock::time_point start);

// Raises this process's soft descriptor limit to its hard limit; false, with
// the reason in `why`, when even the hard limit is below `needed`.
bool EnsureDescriptors(long needed, std::string& why);

// The port a socket is connected to, and its own port; 0 when unknown.
int PeerPortOf(int socket);
int LocalPortOf(int socket);

// An upstream server that echoes every byte back on each connection, each on
// its own thread. With batch > 0 it reads `batch` bytes, then writes them back
// without reading, over and over, so that it never reads while it writes.
class EchoServer {
 public:
  explicit EchoServer(std::size_t batch = 0);
  ~EchoServer();
  int Port() const { return listener_.Port(); }
  int Accepted() const { return accepted_.load(); }

 private:
  void Serve(Fd connection);
  Listener listener_;
  std::size_t batch_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

// A relay on a free port of 127.0.0.1 towards host:port, already active.
// `prepare` may set more before the activation.
struct RunningRelay {
  RunningRelay(const std::string& host, int port,
               const std::function<void(relay::TMappedPortTCP&)>& prepare = nullptr);
  relay::TOwnedServer<relay::TMappedPortTCP> relay;
  int Port() const { return relay->Bindings[0].Port; }
};

}  // namespace vantelo::testkit
