#include "tests/testkit/loopback_peers.h"

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay/server/descriptor_limit.h"

namespace vantelo::testkit {
namespace {

void SetReceiveTimeout(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int CountEntries(const char* folder) {
  DIR* d = opendir(folder);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - (std::string(folder) == "/proc/self/fd" ? 1 : 0);  // opendir's own
}

}  // namespace

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) close(fd_);
    fd_ = o.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) close(fd_);
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

Listener::Listener(const std::string& address, int backlog, int receiveBuffer) {
  const bool v6 = address.find(':') != std::string::npos;
  fd_ = Fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0) {
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_storage a{};
  socklen_t len;
  if (v6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
    a6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr);
    len = sizeof *a6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
    a4->sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a4->sin_addr);
    len = sizeof *a4;
  }
  if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      listen(fd_.get(), backlog) != 0) {
    throw std::runtime_error("test listener on " + address);
  }
  len = sizeof a;
  getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

Fd Listener::Accept(int timeoutMs) {
  pollfd p{fd_.get(), POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return Fd();
  Fd c(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (c) SetReceiveTimeout(c.get(), 10000);
  return c;
}

int Listener::Waiting() const {
  // For a listening socket the kernel reports its accept queue here.
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(fd_.get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return -1;
  return static_cast<int>(info.tcpi_unacked);
}

int FreePort() {
  Listener probe;
  return probe.Port();
}

Fd HoldPort(int port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(port);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd.get(), 1) != 0) {
    return Fd();
  }
  return fd;
}

Fd ConnectTo(int port, int receiveTimeoutMs) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(port);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fd();
  SetReceiveTimeout(fd.get(), receiveTimeoutMs);
  return fd;
}

bool HasIPv6Loopback() {
  Fd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  return bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += static_cast<std::size_t>(n);
  }
}

int UnacknowledgedBytes(int fd) {
  int queued = -1;
  ioctl(fd, SIOCOUTQ, &queued);
  return queued;
}

bool CloseOnceAcknowledged(Fd& fd, int timeoutMs) {
  if (!Eventually([&] { return UnacknowledgedBytes(fd.get()) == 0; }, timeoutMs)) return false;
  fd = Fd();
  return true;
}

std::string ReceiveUpTo(int fd, std::size_t count) {
  std::string out;
  char buf[65536];
  while (out.size() < count) {
    ssize_t n = recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string ReceiveAll(int fd) { return ReceiveUpTo(fd, static_cast<std::size_t>(-1) / 2); }

bool ClosesWithoutBytes(int fd) {
  char c;
  return recv(fd, &c, 1, 0) == 0;
}

bool SeesEnd(int fd) {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

std::string RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(count, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

void Reset(Fd& fd) {
  linger l{1, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd = Fd();
}

int CountOpenDescriptors() { return CountEntries("/proc/self/fd"); }
int CountThreads() { return CountEntries("/proc/self/task"); }

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

bool EnsureDescriptors(long needed, std::string& why) {
  relay::RaiseDescriptorLimit();
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur != RLIM_INFINITY && static_cast<long>(limit.rlim_cur) < needed) {
    why = "this test needs " + std::to_string(needed) +
          " descriptors, but the hard limit (ulimit -Hn) is " + std::to_string(limit.rlim_max);
    return false;
  }
  return true;
}

int PeerPortOf(int socket) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

int LocalPortOf(int socket) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

EchoServer::EchoServer(std::size_t batch) : batch_(batch) {
  acceptor_ = std::thread([this] {
    while (!stop_) {
      Fd c = listener_.Accept(50);
      if (!c) continue;
      ++accepted_;
      workers_.emplace_back([this, fd = c.release()] { Serve(Fd(fd)); });
    }
  });
}

EchoServer::~EchoServer() {
  stop_ = true;
  acceptor_.join();
  for (auto& w : workers_) w.join();
}

void EchoServer::Serve(Fd connection) {
  // Short receive waits so that the destructor's stop is seen; sends may block
  // as long as they must, since the relay is expected to read them.
  timeval shortWait{0, 200 * 1000}, noLimit{0, 0};
  setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
  setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &noLimit, sizeof noLimit);
  std::string buf(batch_ ? batch_ : 65536, '\0');
  while (!stop_) {
    std::size_t want = batch_ ? batch_ : buf.size();
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = recv(connection.get(), buf.data() + got, want - got, 0);
      if (n < 0 && errno == EAGAIN && !stop_) continue;
      if (n <= 0) return;
      got += static_cast<std::size_t>(n);
      if (!batch_) break;
    }
    if (send(connection.get(), buf.data(), got, MSG_NOSIGNAL) != static_cast<ssize_t>(got)) {
      return;
    }
  }
}

RunningRelay::RunningRelay(const std::string& host, int port,
                           const std::function<void(relay::TMappedPortTCP&)>& prepare)
    : relay(relay::TOwnedServer<relay::TMappedPortTCP>::Make()) {
  relay->Bindings.Add().IP = "127.0.0.1";
  relay->MappedHost = host;
  relay->MappedPort = port;
  if (prepare) prepare(*relay);
  relay->SetActive(true);
}

}  // namespace vantelo::testkit
