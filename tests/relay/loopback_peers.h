// Real peers on loopback for the relay tests: plain blocking sockets with
// receive time-outs, so that a broken relay fails a test instead of hanging it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
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

// A listening socket on 127.0.0.1 with a port of the system's choice.
class Listener {
 public:
  Listener();
  int Port() const { return port_; }
  // Accepts one connection (receive time-out set), or an empty Fd after timeoutMs.
  Fd Accept(int timeoutMs = 5000);
  void Close() { fd_ = Fd(); }

 private:
  Fd fd_;
  int port_ = 0;
};

Fd ConnectTo(int port, int receiveTimeoutMs = 10000);
void SendAll(int fd, const std::string& data);
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

int CountOpenDescriptors();
int CountThreads();
// Polls `condition` every 20 ms for at most timeoutMs.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000);

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
struct RunningRelay {
  RunningRelay(const std::string& host, int port);
  relay::TOwnedServer<relay::TMappedPortTCP> relay;
  int Port() const { return relay->Bindings[0].Port; }
};

}  // namespace vantelo::testkit
