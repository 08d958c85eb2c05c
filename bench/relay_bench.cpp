// relay-bench VANTELO_RELAY [REFERENCE_RELAY]: measures the relay program
// against a direct loopback connection, socat and haproxy in one run, and
// prints each figure with its ratios. With REFERENCE_RELAY (another build of
// vantelo-relay, e.g. the one before a change) that one is measured in the
// same run too. Each case runs against every proxy in turn before the next
// case starts, so that a busy machine disturbs them alike. Figures, not a
// pass/fail test.
//
// relay-bench --tls VANTELO_RELAY: the same through an smtps:// route instead,
// against stunnel's client mode and haproxy's `server ... ssl`, all three
// towards one TLS terminator on loopback (see the TLS scenario below).
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const char* p, size_t n) {
  while (n) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool RecvAll(int fd, char* p, size_t n) {
  while (n) {
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Upstream servers, one per kind of work, each connection on its own thread.
// CheckedSink and CheckedSource carry the Pattern below, so that every byte
// of a bulk transfer is compared, not only counted.
enum class Mode { Sink, Source, Echo, Smtp, Batch, CheckedSink, CheckedSource };
constexpr size_t kBulkBytes = size_t{1} << 30;
constexpr size_t kBatch = 16 << 20;

// Pseudo-random bytes repeating every kPeriod bytes, a prime, so that no
// chunk or record size lines up with it: a lost, doubled or moved piece of a
// stream compares unequal. Byte k of a stream is Pattern()[k % kPeriod]; the
// table holds two periods, so any piece of up to kPeriod bytes is one memcmp.
constexpr size_t kPeriod = 65521;

const char* Pattern() {
  static const std::vector<char> bytes = [] {
    std::vector<char> b(2 * kPeriod);
    uint32_t x = 2463534242u;
    for (size_t k = 0; k < kPeriod; ++k) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b[k] = b[k + kPeriod] = static_cast<char>(x);
    }
    return b;
  }();
  return bytes.data();
}

bool SendPattern(int fd, uint64_t offset, size_t n) {
  while (n) {
    size_t piece = std::min(n, kPeriod);
    if (!SendAll(fd, Pattern() + offset % kPeriod, piece)) return false;
    offset += piece;
    n -= piece;
  }
  return true;
}

bool MatchesPattern(const char* p, uint64_t offset, size_t n) {
  while (n) {
    size_t piece = std::min(n, kPeriod);
    if (std::memcmp(p, Pattern() + offset % kPeriod, piece) != 0) return false;
    p += piece;
    offset += piece;
    n -= piece;
  }
  return true;
}

class Upstream {
 public:
  // `greets`: every connection starts with an SMTP greeting line, as an
  // smtps:// route needs before it hands the connection over.
  explicit Upstream(Mode mode, bool greets = false) : mode_(mode), greets_(greets) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, SOMAXCONN);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~Upstream() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    close(fd_);
    while (live_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int Port() const { return port_; }
  Mode Kind() const { return mode_; }
  std::atomic<size_t> sunk{0};
  std::atomic<bool> corrupted{false};  // a CheckedSink saw a wrong byte

 private:
  void AcceptLoop() {
    while (!stop_) {
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (stop_) return;
        continue;
      }
      ++live_;
      std::thread([this, c] {
        Serve(c);
        close(c);
        --live_;
      }).detach();
    }
  }
  void Serve(int c) {
    std::vector<char> buf(mode_ == Mode::Batch ? kBatch : size_t{1} << 16);
    static const char greet[] = "220 bench.example ESMTP ready\r\n";
    if (greets_ && mode_ != Mode::Smtp && !SendAll(c, greet, sizeof greet - 1)) return;
    switch (mode_) {
      case Mode::Sink:
        for (ssize_t n; (n = recv(c, buf.data(), 1 << 16, 0)) > 0;) sunk += static_cast<size_t>(n);
        break;
      case Mode::Source: {
        uint64_t want = 0;
        if (!RecvAll(c, reinterpret_cast<char*>(&want), sizeof want)) return;
        while (want) {
          size_t n = std::min<uint64_t>(want, 1 << 16);
          if (!SendAll(c, buf.data(), n)) return;
          want -= n;
        }
        shutdown(c, SHUT_WR);
        recv(c, buf.data(), 1, 0);
        break;
      }
      case Mode::Echo: {
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (ssize_t n; (n = recv(c, buf.data(), 1 << 16, 0)) > 0;) {
          if (!SendAll(c, buf.data(), static_cast<size_t>(n))) return;
        }
        break;
      }
      case Mode::Smtp: {
        // Greeting, then QUIT; a login route's relay sends EHLO and AUTH
        // PLAIN first, each in one piece.
        static const char bye[] = "221 2.0.0 Bye\r\n";
        static const char ehlo[] = "250-bench.example\r\n250 AUTH PLAIN\r\n";
        static const char loggedIn[] = "235 2.7.0 ok\r\n";
        if (!SendAll(c, greet, sizeof greet - 1)) return;
        for (ssize_t n; (n = recv(c, buf.data(), buf.size(), 0)) > 0;) {
          const std::string_view line(buf.data(), static_cast<size_t>(n));
          if (line.rfind("EHLO", 0) == 0) {
            if (!SendAll(c, ehlo, sizeof ehlo - 1)) return;
          } else if (line.rfind("AUTH", 0) == 0) {
            if (!SendAll(c, loggedIn, sizeof loggedIn - 1)) return;
          } else {
            SendAll(c, bye, sizeof bye - 1);  // QUIT
            break;
          }
        }
        break;
      }
      case Mode::CheckedSink: {
        uint64_t at = 0;
        for (ssize_t n; (n = recv(c, buf.data(), kPeriod, 0)) > 0;) {
          if (!MatchesPattern(buf.data(), at, static_cast<size_t>(n))) corrupted = true;
          at += static_cast<uint64_t>(n);
          sunk += static_cast<size_t>(n);
        }
        break;
      }
      case Mode::CheckedSource: {
        uint64_t want = 0;
        if (!RecvAll(c, reinterpret_cast<char*>(&want), sizeof want)) return;
        if (!SendPattern(c, 0, want)) return;
        shutdown(c, SHUT_WR);
        recv(c, buf.data(), 1, 0);
        break;
      }
      case Mode::Batch:
        // Reads a whole batch, then writes it back without reading.
        while (RecvAll(c, buf.data(), kBatch)) {
          if (!SendAll(c, buf.data(), kBatch)) return;
        }
        break;
    }
  }
  Mode mode_;
  bool greets_;
  int fd_;
  int port_;
  std::atomic<bool> stop_{false};
  std::atomic<int> live_{0};
  std::thread acceptor_;
};

// A proxy under test: a child process that forwards a local port to one
// upstream, or nothing at all for the direct connection.
struct Proxy {
  std::string name;
  std::function<pid_t(int listenPort, int upstreamPort, std::string& error)> start;
};

pid_t Spawn(const std::vector<std::string>& argv, int stdoutPipe[2]) {
  pid_t pid = fork();
  if (pid == 0) {
    if (stdoutPipe) {
      dup2(stdoutPipe[1], 1);
      close(stdoutPipe[0]);
    }
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

bool WaitForPort(int port) {
  for (int i = 0; i < 300; ++i) {
    int fd = Connect(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

double CpuSeconds(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- the cases ------------------------------------------------------------

struct Figures {
  std::map<std::string, double> value;
  std::map<std::string, std::string> failure;
};

// Prints every case that failed and the verdict; the bench's exit status.
int ReportFailures(const std::map<std::string, Figures>& results) {
  int failures = 0;
  for (const auto& [name, f] : results) {
    for (const auto& [what, why] : f.failure) {
      std::printf("FAILURE %s: %s: %s\n", name.c_str(), what.c_str(), why.c_str());
      ++failures;
    }
  }
  std::printf("%s\n", failures ? "some cases failed" : "no failures in any case");
  return failures ? 1 : 0;
}

double BulkUp(int port, Upstream& sink) {
  sink.sunk = 0;
  std::vector<char> buf(1 << 16, 'u');
  int fd = Connect(port);
  auto t0 = Clock::now();
  for (size_t sent = 0; sent < kBulkBytes; sent += buf.size()) {
    if (!SendAll(fd, buf.data(), buf.size())) break;
  }
  while (sink.sunk < kBulkBytes) std::this_thread::sleep_for(std::chrono::microseconds(200));
  auto t1 = Clock::now();
  close(fd);
  return kBulkBytes / 1048576.0 / Seconds(t0, t1);
}

double BulkDown(int port) {
  std::vector<char> buf(1 << 16);
  int fd = Connect(port);
  uint64_t want = kBulkBytes;
  auto t0 = Clock::now();
  SendAll(fd, reinterpret_cast<char*>(&want), sizeof want);
  size_t got = 0;
  for (ssize_t n; got < kBulkBytes && (n = recv(fd, buf.data(), buf.size(), 0)) > 0;) {
    got += static_cast<size_t>(n);
  }
  auto t1 = Clock::now();
  close(fd);
  return got == kBulkBytes ? kBulkBytes / 1048576.0 / Seconds(t0, t1) : 0;
}

std::pair<double, double> PingPong(int port) {
  int fd = Connect(port);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char msg[64] = {}, back[64];
  std::vector<double> us;
  for (int i = 0; i < 8500; ++i) {
    auto t0 = Clock::now();
    if (!SendAll(fd, msg, 64) || !RecvAll(fd, back, 64)) break;
    if (i >= 500) us.push_back(Seconds(t0, Clock::now()) * 1e6);
  }
  close(fd);
  if (us.empty()) return {0, 0};
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// Connections per second, each running `session` on its socket (false: a
// failed one), from `clients` threads at once.
double ConnectionsPerSecond(int port, int clients, double seconds, int& failures,
                            const std::function<bool(int fd)>& session) {
  std::atomic<long> done{0};
  std::atomic<int> failed{0};
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&] {
      while (Clock::now() < end) {
        int fd = Connect(port);
        bool ok = fd >= 0 && session(fd);
        if (fd >= 0) close(fd);
        ok ? ++done : ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  failures = failed;
  return done / Seconds(t0, Clock::now());
}

// SMTP-like connections (greeting, QUIT, reply, close) per second.
double ConnectionsPerSecond(int port, int clients, double seconds, int& failures) {
  return ConnectionsPerSecond(port, clients, seconds, failures, [](int fd) {
    char buf[64];
    return recv(fd, buf, sizeof buf, 0) > 0 && SendAll(fd, "QUIT\r\n", 6) &&
           recv(fd, buf, sizeof buf, 0) > 0;
  });
}

// 200 connections at once, each echoing 1 MiB: the wall time (s), and the
// slowest set-up (ms): from the common start until a connection's first
// echoed byte is back, which is what a burst of clients waits for.
struct Burst {
  double wallSeconds = 0;
  double slowestSetupMs = 0;
};

Burst ConcurrentEcho(int port, int& failures) {
  constexpr int kConnections = 200;
  constexpr size_t kEach = 1 << 20;
  std::atomic<int> failed{0};
  std::mutex gate;
  std::condition_variable opened;
  int waiting = kConnections;
  bool go = false;
  std::vector<double> setupMs(kConnections, 0);
  Clock::time_point t0;
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnections; ++i) {
    threads.emplace_back([&, i] {
      std::vector<char> out(kEach), in(kEach);
      for (size_t k = 0; k < kEach; ++k) out[k] = static_cast<char>(k * 31 + i);
      // Every client is ready before the first connects, and waits asleep.
      {
        std::unique_lock<std::mutex> lock(gate);
        if (--waiting == 0) opened.notify_all();
        opened.wait(lock, [&] { return go; });
      }
      int fd = Connect(port);
      if (fd < 0) {
        ++failed;
        return;
      }
      std::thread writer([&] { SendAll(fd, out.data(), kEach); });
      ssize_t first = recv(fd, in.data(), kEach, 0);
      setupMs[i] = Seconds(t0, Clock::now()) * 1e3;
      bool ok = first > 0 && RecvAll(fd, in.data() + first, kEach - static_cast<size_t>(first)) &&
                in == out;
      writer.join();
      close(fd);
      if (!ok) ++failed;
    });
  }
  {
    std::unique_lock<std::mutex> lock(gate);
    opened.wait(lock, [&] { return waiting == 0; });
    t0 = Clock::now();
    go = true;
  }
  opened.notify_all();
  for (auto& t : threads) t.join();
  failures = failed;
  return {Seconds(t0, Clock::now()), *std::max_element(setupMs.begin(), setupMs.end())};
}

// One connection whose upstream reads a 16 MiB batch, then writes it back
// without reading, while the client keeps sending: seconds, or -1 on failure.
double Duplex(int port) {
  constexpr size_t kTotal = 4 * kBatch;
  std::vector<char> out(kTotal), in(kTotal);
  for (size_t k = 0; k < kTotal; ++k) out[k] = static_cast<char>(k * 7 + (k >> 13));
  int fd = Connect(port);
  timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  auto t0 = Clock::now();
  std::thread writer([&] { SendAll(fd, out.data(), kTotal); });
  bool ok = RecvAll(fd, in.data(), kTotal) && in == out;
  if (!ok) shutdown(fd, SHUT_RDWR);
  writer.join();
  close(fd);
  return ok ? Seconds(t0, Clock::now()) : -1;
}

// One case: the upstream it needs and what it measures through a port.
struct Case {
  const char* name;  // for --only
  Upstream* upstream;
  std::function<void(int port, pid_t pid, Figures& f)> measure;
  // A new upstream server (a new port) for every run: thousands of closed
  // connections in TIME_WAIT towards one port make each later connect()
  // search longer for a free ephemeral port, which would favour whichever
  // proxy runs first.
  bool freshUpstream = false;
};

std::vector<Case> Cases(Upstream& sink, Upstream& source, Upstream& echo, Upstream& smtp,
                        Upstream& batch) {
  return {
      {"bulk-up", &sink,
       [&sink](int port, pid_t pid, Figures& f) {
         double cpu0 = CpuSeconds(pid);
         f.value["bulk up MiB/s"] = BulkUp(port, sink);
         f.value["CPU s/GiB up"] = CpuSeconds(pid) - cpu0;
       }},
      {"bulk-down", &source,
       [](int port, pid_t pid, Figures& f) {
         double cpu0 = CpuSeconds(pid);
         f.value["bulk down MiB/s"] = BulkDown(port);
         f.value["CPU s/GiB down"] = CpuSeconds(pid) - cpu0;
       }},
      {"round-trip", &echo,
       [](int port, pid_t, Figures& f) {
         auto [median, p99] = PingPong(port);
         f.value["round trip median us"] = median;
         f.value["round trip p99 us"] = p99;
       }},
      {"connects", &smtp,
       [](int port, pid_t, Figures& f) {
         int failures = 0;
         // Short runs, so that many rounds interleave the proxies finely.
         f.value["conn/s sequential"] = ConnectionsPerSecond(port, 1, 0.7, failures);
         if (failures) f.failure["sequential connections"] = std::to_string(failures) + " failed";
         f.value["conn/s 8 clients"] = ConnectionsPerSecond(port, 8, 0.7, failures);
         if (failures) f.failure["parallel connections"] = std::to_string(failures) + " failed";
       },
       true},
      {"burst", &echo,
       [](int port, pid_t, Figures& f) {
         int failures = 0;
         Burst burst = ConcurrentEcho(port, failures);
         f.value["200x1MiB echo s"] = burst.wallSeconds;
         f.value["200 slowest setup ms"] = burst.slowestSetupMs;
         if (failures) f.failure["200 x 1 MiB echo"] = std::to_string(failures) + " failed";
       }},
      {"batch", &batch,
       [](int port, pid_t, Figures& f) {
         double s = Duplex(port);
         if (s < 0) f.failure["duplex"] = "stalled or corrupted";
         f.value["16MiB batches MiB/s"] = s > 0 ? 64.0 / s : 0;
       }},
  };
}

// Runs one case through one proxy, started for it towards `upstreamPort`
// and stopped after it.
void Measure(const Proxy& proxy, int upstreamPort,
             const std::function<void(int port, pid_t pid, Figures& f)>& measure, Figures& f) {
  std::string error;
  int port = proxy.start ? FreePort() : upstreamPort;
  pid_t pid = proxy.start ? proxy.start(port, upstreamPort, error) : 0;
  if (pid < 0 || !WaitForPort(port)) {
    f.failure["start"] = error.empty() ? "did not start" : error;
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    return;
  }
  measure(port, pid, f);
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}

// ---- the TLS upstream scenario ---------------------------------------------
// The upstream servers sit behind a TLS terminator (haproxy, `bind ... ssl
// crt`) with a certificate for 127.0.0.1 from a CA of the bench's own; the
// relay under test opens TLS towards it and verifies that certificate. The
// terminator stays up for the whole scenario and is not counted: only the
// relay processes' CPU is. haproxy terminates because it is event-driven and
// multi-threaded, so on a small machine it holds up the least, and it is
// installed already; stunnel's server mode would add a thread per connection
// on the far side too.

// Runs a program to its end, its output out of sight; true if it exited 0.
bool RunQuietly(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Starts a proxy with its standard output (the relay's "listening on" line)
// out of the table's way; its errors still reach standard error.
pid_t SpawnQuiet(const std::vector<std::string>& argv) {
  int null[2] = {-1, open("/dev/null", O_WRONLY | O_CLOEXEC)};
  pid_t pid = Spawn(argv, null);
  close(null[1]);
  return pid;
}

// A folder under /tmp with the CA, the server's certificate and the
// configuration files, removed with everything in it at the end.
class TlsFiles {
 public:
  TlsFiles() {
    char name[] = "/tmp/vantelo-bench-tls-XXXXXX";
    if (mkdtemp(name)) dir_ = name;
  }
  ~TlsFiles() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& file) const { return dir_ + "/" + file; }

  // The CA and a certificate for IP address 127.0.0.1 (EC P-256, as many
  // mail servers use); "" or what failed.
  std::string MakeCertificates() const {
    if (dir_.empty()) return "no temporary folder";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca = {"openssl", "req", "-x509"};
    ca.insert(ca.end(), ec.begin(), ec.end());
    ca.insert(ca.end(), {"-keyout", Path("ca.key"), "-out", Path("ca.pem"), "-days", "2", "-subj",
                         "/CN=Vantelo bench CA", "-addext", "basicConstraints=critical,CA:TRUE",
                         "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    if (!RunQuietly(ca)) return "openssl could not make the CA";
    std::vector<std::string> request = {"openssl", "req", "-new"};
    request.insert(request.end(), ec.begin(), ec.end());
    request.insert(request.end(), {"-keyout", Path("server.key"), "-out", Path("server.csr"),
                                   "-subj", "/CN=127.0.0.1"});
    if (!RunQuietly(request)) return "openssl could not make the server's key";
    std::ofstream(Path("server.ext")) << "subjectAltName=IP:127.0.0.1\n"
                                      << "basicConstraints=CA:FALSE\n"
                                      << "keyUsage=critical,digitalSignature\n"
                                      << "extendedKeyUsage=serverAuth\n";
    if (!RunQuietly({"openssl", "x509", "-req", "-in", Path("server.csr"), "-CA", Path("ca.pem"),
                     "-CAkey", Path("ca.key"), "-CAcreateserial", "-days", "2", "-out",
                     Path("server.crt"), "-extfile", Path("server.ext")})) {
      return "openssl could not sign the server's certificate";
    }
    // haproxy wants the certificate and its key in one file.
    std::ofstream both(Path("server.pem"));
    both << std::ifstream(Path("server.crt")).rdbuf() << std::ifstream(Path("server.key")).rdbuf();
    return both ? "" : "could not write server.pem";
  }

 private:
  std::string dir_;
};

// The terminator: one TLS port in front of each upstream server.
class Terminator {
 public:
  Terminator(const TlsFiles& files, const std::vector<Upstream*>& upstreams) {
    std::ofstream cfg(files.Path("terminator.cfg"));
    cfg << "global\n  maxconn 8192\n  ssl-default-bind-options ssl-min-ver TLSv1.2\n"
        << "defaults\n  mode tcp\n  timeout connect 10s\n"
        << "  timeout client 60s\n  timeout server 60s\n";
    for (Upstream* up : upstreams) {
      int port = FreePort();
      ports_[up] = port;
      cfg << "listen up" << up->Port() << "\n  bind 127.0.0.1:" << port << " ssl crt "
          << files.Path("server.pem") << "\n  server up 127.0.0.1:" << up->Port() << "\n";
    }
    cfg.close();
    pid_ = Spawn({"haproxy", "-db", "-q", "-f", files.Path("terminator.cfg")}, nullptr);
  }
  ~Terminator() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Ready() const {
    if (pid_ <= 0) return false;
    for (auto& [up, port] : ports_) {
      if (!WaitForPort(port)) return false;
    }
    return true;
  }
  int PortFor(Upstream& up) const { return ports_.at(&up); }

 private:
  std::map<Upstream*, int> ports_;
  pid_t pid_ = -1;
};

constexpr size_t kTlsBulkBytes = size_t{512} << 20;

bool RecvLine(int fd, std::string& line);

// Connects and takes the greeting the TLS scenario's servers send first.
int ConnectGreeted(int port) {
  int fd = Connect(port);
  std::string greeting;
  if (fd >= 0 && !RecvLine(fd, greeting)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Bulk up with every byte compared at the upstream: MiB/s, 0 if any was wrong.
double CheckedBulkUp(int port, Upstream& sink) {
  sink.sunk = 0;
  sink.corrupted = false;
  int fd = ConnectGreeted(port);
  auto t0 = Clock::now();
  bool sent = fd >= 0 && SendPattern(fd, 0, kTlsBulkBytes);
  auto limit = Clock::now() + std::chrono::seconds(60);
  while (sent && sink.sunk < kTlsBulkBytes && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  auto t1 = Clock::now();
  if (fd >= 0) close(fd);
  bool ok = sent && sink.sunk == kTlsBulkBytes && !sink.corrupted;
  return ok ? kTlsBulkBytes / 1048576.0 / Seconds(t0, t1) : 0;
}

// Bulk down with every byte compared here: MiB/s, 0 if any was wrong.
double CheckedBulkDown(int port) {
  std::vector<char> buf(kPeriod);
  int fd = ConnectGreeted(port);
  if (fd < 0) return 0;
  timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  uint64_t want = kTlsBulkBytes;
  auto t0 = Clock::now();
  SendAll(fd, reinterpret_cast<char*>(&want), sizeof want);
  uint64_t got = 0;
  bool ok = true;
  for (ssize_t n; ok && got < kTlsBulkBytes && (n = recv(fd, buf.data(), buf.size(), 0)) > 0;) {
    ok = MatchesPattern(buf.data(), got, static_cast<size_t>(n));
    got += static_cast<uint64_t>(n);
  }
  auto t1 = Clock::now();
  close(fd);
  return ok && got == kTlsBulkBytes ? kTlsBulkBytes / 1048576.0 / Seconds(t0, t1) : 0;
}

// 64-byte messages, each different, echoed and compared: median in us, 0 if
// one came back wrong.
double CheckedRoundTrip(int port) {
  int fd = ConnectGreeted(port);
  if (fd < 0) return 0;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char back[64];
  std::vector<double> us;
  for (int i = 0; i < 10000; ++i) {
    const char* msg = Pattern() + (static_cast<size_t>(i) * 64) % kPeriod;
    auto t0 = Clock::now();
    if (!SendAll(fd, msg, 64) || !RecvAll(fd, back, 64) || std::memcmp(msg, back, 64) != 0) {
      us.clear();
      break;
    }
    if (i >= 500) us.push_back(Seconds(t0, Clock::now()) * 1e6);
  }
  close(fd);
  if (us.empty()) return 0;
  std::sort(us.begin(), us.end());
  return us[us.size() / 2];
}

// Reads up to and with the line's end into `line`; false on an end, an
// error or more than 64 bytes.
bool RecvLine(int fd, std::string& line) {
  line.clear();
  char c;
  while (line.size() < 64 && recv(fd, &c, 1, 0) == 1) {
    line += c;
    if (c == '\n') return true;
  }
  return false;
}

// Connections with the greeting, QUIT and the 221 reply compared, per second.
double CheckedConnections(int port, int clients, double seconds, int& failures) {
  return ConnectionsPerSecond(port, clients, seconds, failures, [](int fd) {
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string greeting, bye;
    return RecvLine(fd, greeting) && greeting == "220 bench.example ESMTP ready\r\n" &&
           SendAll(fd, "QUIT\r\n", 6) && RecvLine(fd, bye) && bye == "221 2.0.0 Bye\r\n";
  });
}

int RunTls(const std::string& relayPath) {
  TlsFiles files;
  if (std::string why = files.MakeCertificates(); !why.empty()) {
    std::fprintf(stderr, "relay-bench: %s\n", why.c_str());
    return 1;
  }
  // The relay finds the CA the way a user's system would; stunnel and
  // haproxy are given it by name.
  setenv("SSL_CERT_FILE", files.Path("ca.pem").c_str(), 1);
  unsetenv("SSL_CERT_DIR");

  Upstream sink(Mode::CheckedSink, true), source(Mode::CheckedSource, true), echo(Mode::Echo, true),
      smtp(Mode::Smtp);
  Terminator terminator(files, {&sink, &source, &echo, &smtp});
  if (!terminator.Ready()) {
    std::fprintf(stderr, "relay-bench: the TLS terminator (haproxy) did not start\n");
    return 1;
  }
  // All three check the chain and the name: haproxy checks no name unless
  // told which (verifyhost), stunnel checks the address it is given.
  const std::string ca = files.Path("ca.pem");
  std::vector<Proxy> proxies;
  proxies.push_back({"vantelo", [&](int listen, int up, std::string&) {
                       return SpawnQuiet({relayPath, std::to_string(listen), "smtps://127.0.0.1",
                                          std::to_string(up)});
                     }});
  proxies.push_back({"stunnel", [&](int listen, int up, std::string&) {
                       std::string path = files.Path("stunnel-" + std::to_string(listen) + ".conf");
                       std::ofstream cfg(path);
                       cfg << "foreground = yes\npid =\ndebug = 3\n"
                           << "socket = l:TCP_NODELAY=1\nsocket = r:TCP_NODELAY=1\n"
                           << "[relay]\nclient = yes\naccept = 127.0.0.1:" << listen << "\n"
                           << "connect = 127.0.0.1:" << up << "\nverify = 2\nCAfile = " << ca
                           << "\ncheckIP = 127.0.0.1\nsslVersionMin = TLSv1.2\n";
                       cfg.close();
                       return SpawnQuiet({"stunnel4", path});
                     }});
  proxies.push_back({"haproxy", [&](int listen, int up, std::string&) {
                       std::string path = files.Path("haproxy-" + std::to_string(listen) + ".cfg");
                       std::ofstream cfg(path);
                       cfg << "global\n  maxconn 4096\n"
                           << "defaults\n  mode tcp\n  timeout connect 10s\n"
                           << "  timeout client 60s\n  timeout server 60s\n"
                           << "listen relay\n  bind 127.0.0.1:" << listen << "\n"
                           << "  server s 127.0.0.1:" << up << " ssl verify required ca-file " << ca
                           << " verifyhost 127.0.0.1 ssl-min-ver TLSv1.2\n";
                       cfg.close();
                       return SpawnQuiet({"haproxy", "-db", "-q", "-f", path});
                     }});

  using Measurement = std::function<void(int port, pid_t pid, Figures& f)>;
  const double gib = static_cast<double>(kTlsBulkBytes) / (size_t{1} << 30);
  std::vector<std::pair<Upstream*, Measurement>> cases = {
      {&sink,
       [&](int port, pid_t pid, Figures& f) {
         double cpu0 = CpuSeconds(pid);
         double rate = CheckedBulkUp(port, sink);
         if (rate == 0) f.failure["bulk up"] = "bytes lost, wrong or late";
         f.value["bulk up MiB/s"] = rate;
         f.value["CPU s/GiB up"] = (CpuSeconds(pid) - cpu0) / gib;
       }},
      {&source,
       [&](int port, pid_t pid, Figures& f) {
         double cpu0 = CpuSeconds(pid);
         double rate = CheckedBulkDown(port);
         if (rate == 0) f.failure["bulk down"] = "bytes lost, wrong or late";
         f.value["bulk down MiB/s"] = rate;
         f.value["CPU s/GiB down"] = (CpuSeconds(pid) - cpu0) / gib;
       }},
      {&echo,
       [](int port, pid_t, Figures& f) {
         double median = CheckedRoundTrip(port);
         if (median == 0) f.failure["round trip"] = "an echo came back wrong or not at all";
         f.value["round trip median us"] = median;
       }},
      {&smtp,
       [](int port, pid_t, Figures& f) {
         int failures = 0;
         f.value["conn/s sequential"] = CheckedConnections(port, 1, 1.5, failures);
         if (failures) f.failure["sequential connections"] = std::to_string(failures) + " failed";
         f.value["conn/s 8 clients"] = CheckedConnections(port, 8, 1.5, failures);
         if (failures) f.failure["parallel connections"] = std::to_string(failures) + " failed";
       }},
  };

  // Two rounds per case, the second in the opposite order, each figure the
  // mean of both: the one measured first in a case tends to come out slower.
  std::map<std::string, Figures> results;
  std::map<std::string, std::map<std::string, int>> samples;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::fprintf(stderr, "TLS case %zu of %zu...\n", i + 1, cases.size());
    for (int round = 0; round < 2; ++round) {
      for (std::size_t k = 0; k < proxies.size(); ++k) {
        const Proxy& proxy = proxies[round == 0 ? k : proxies.size() - 1 - k];
        Figures one;
        Measure(proxy, terminator.PortFor(*cases[i].first), cases[i].second, one);
        Figures& all = results[proxy.name];
        for (auto& [key, value] : one.value) {
          int n = ++samples[proxy.name][key];
          all.value[key] += (value - all.value[key]) / n;
        }
        for (auto& [what, why] : one.failure) all.failure[what] = why;
      }
    }
  }

  // Each figure against the better of stunnel and haproxy: higher is better
  // for rates, lower for CPU and time.
  struct Key {
    const char* name;
    bool higherIsBetter;
  };
  const Key keys[] = {{"bulk up MiB/s", true},         {"bulk down MiB/s", true},
                      {"CPU s/GiB up", false},         {"CPU s/GiB down", false},
                      {"round trip median us", false}, {"conn/s sequential", true},
                      {"conn/s 8 clients", true}};
  std::printf("TLS upstream (smtps:// to a haproxy terminator on 127.0.0.1)\n");
  std::printf("%-22s %10s %10s %10s   %-8s %12s\n", "figure", "vantelo", "stunnel", "haproxy",
              "best", "vantelo/best");
  for (const Key& key : keys) {
    double v = results["vantelo"].value[key.name];
    double s = results["stunnel"].value[key.name];
    double h = results["haproxy"].value[key.name];
    bool stunnelBetter = key.higherIsBetter ? s > h : s < h;
    double best = stunnelBetter ? s : h;
    std::printf("%-22s %10.2f %10.2f %10.2f   %-8s %12.2f\n", key.name, v, s, h,
                stunnelBetter ? "stunnel" : "haproxy", best > 0 ? v / best : 0.0);
  }
  return ReportFailures(results);
}

// --login: greeting+QUIT through an smtps:// route that logs in (EHLO and
// AUTH PLAIN inside TLS before the greeting goes out, the client's EHLO
// answered by the relay) against the same route without a login, both to
// the same server behind the terminator.
int RunLogin(const std::string& relayPath) {
  TlsFiles files;
  if (std::string why = files.MakeCertificates(); !why.empty()) {
    std::fprintf(stderr, "relay-bench: %s\n", why.c_str());
    return 1;
  }
  setenv("SSL_CERT_FILE", files.Path("ca.pem").c_str(), 1);
  unsetenv("SSL_CERT_DIR");
  const std::string passwordFile = files.Path("password");
  std::ofstream(passwordFile) << "bench-password\n";
  chmod(passwordFile.c_str(), 0600);
  Upstream smtp(Mode::Smtp);
  Terminator terminator(files, {&smtp});
  if (!terminator.Ready()) {
    std::fprintf(stderr, "relay-bench: the TLS terminator (haproxy) did not start\n");
    return 1;
  }
  std::vector<Proxy> proxies;
  proxies.push_back({"no login", [&](int listen, int up, std::string&) {
                       return SpawnQuiet({relayPath, std::to_string(listen), "smtps://127.0.0.1",
                                          std::to_string(up)});
                     }});
  proxies.push_back({"login", [&](int listen, int up, std::string&) {
                       return SpawnQuiet({relayPath, "--password-file", passwordFile,
                                          std::to_string(listen), "smtps://bench@127.0.0.1",
                                          std::to_string(up)});
                     }});
  std::map<std::string, Figures> results;
  std::map<std::string, std::map<std::string, int>> samples;
  for (int round = 0; round < 4; ++round) {
    for (std::size_t k = 0; k < proxies.size(); ++k) {
      const Proxy& proxy = proxies[round % 2 == 0 ? k : proxies.size() - 1 - k];
      Figures one;
      Measure(
          proxy, terminator.PortFor(smtp),
          [](int port, pid_t, Figures& f) {
            int failures = 0;
            f.value["conn/s sequential"] = CheckedConnections(port, 1, 1.5, failures);
            if (failures)
              f.failure["sequential connections"] = std::to_string(failures) + " failed";
            f.value["conn/s 8 clients"] = CheckedConnections(port, 8, 1.5, failures);
            if (failures) f.failure["parallel connections"] = std::to_string(failures) + " failed";
          },
          one);
      Figures& all = results[proxy.name];
      for (auto& [key, value] : one.value) {
        int n = ++samples[proxy.name][key];
        all.value[key] += (value - all.value[key]) / n;
      }
      for (auto& [what, why] : one.failure) all.failure[what] = why;
    }
  }
  std::printf("Login (smtps://bench@127.0.0.1 against smtps://127.0.0.1, greeting+QUIT)\n");
  std::printf("%-22s %10s %10s %12s\n", "figure", "no login", "login", "login/none");
  for (const char* key : {"conn/s sequential", "conn/s 8 clients"}) {
    double plain = results["no login"].value[key];
    double login = results["login"].value[key];
    std::printf("%-22s %10.1f %10.1f %12.2f\n", key, plain, login, plain > 0 ? login / plain : 0);
  }
  const double plain = results["no login"].value["conn/s sequential"];
  const double login = results["login"].value["conn/s sequential"];
  if (plain > 0 && login > 0) {
    std::printf("%-22s %10.3f %10.3f %+12.3f\n", "ms per connection", 1000 / plain, 1000 / login,
                1000 / login - 1000 / plain);
  }
  return ReportFailures(results);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--tls") {
    signal(SIGPIPE, SIG_IGN);
    return RunTls(argv[2]);
  }
  if (argc == 4 && std::string(argv[1]) == "--tls" && std::string(argv[2]) == "--login") {
    signal(SIGPIPE, SIG_IGN);
    return RunLogin(argv[3]);
  }
  // relay-bench [--rounds N] [--only CASE] VANTELO_RELAY [REFERENCE_RELAY]
  int rounds = 5;
  std::string only;
  int at = 1;
  for (; at + 1 < argc && std::strncmp(argv[at], "--", 2) == 0; at += 2) {
    if (std::string(argv[at]) == "--rounds") {
      rounds = std::max(1, std::atoi(argv[at + 1]));
    } else if (std::string(argv[at]) == "--only") {
      only = argv[at + 1];
    } else {
      break;
    }
  }
  if (argc - at != 1 && argc - at != 2) {
    std::fprintf(stderr,
                 "usage: relay-bench [--rounds N] [--only CASE] PATH/TO/vantelo-relay "
                 "[PATH/TO/reference-relay]\n"
                 "       relay-bench --tls PATH/TO/vantelo-relay\n"
                 "       relay-bench --tls --login PATH/TO/vantelo-relay\n"
                 "CASE: bulk-up, bulk-down, round-trip, connects, burst, batch\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string relayPath = argv[at];
  const std::string referencePath = argc - at == 2 ? argv[at + 1] : "";
  const std::string haproxyConfig = "/tmp/vantelo-bench-haproxy.cfg";

  auto relay = [](const std::string& path) {
    return [path](int listen, int up, std::string&) {
      return Spawn({path, std::to_string(listen), "127.0.0.1", std::to_string(up)}, nullptr);
    };
  };
  std::vector<Proxy> proxies;
  proxies.push_back({"direct", nullptr});
  proxies.push_back({"vantelo", relay(relayPath)});
  if (!referencePath.empty()) proxies.push_back({"reference", relay(referencePath)});
  proxies.push_back({"haproxy", [&](int listen, int up, std::string&) {
                       std::ofstream cfg(haproxyConfig);
                       cfg << "global\n  maxconn 4096\n"
                           << "defaults\n  mode tcp\n  timeout connect 10s\n"
                           << "  timeout client 60s\n  timeout server 60s\n"
                           << "listen relay\n  bind 127.0.0.1:" << listen << "\n"
                           << "  server up 127.0.0.1:" << up << "\n";
                       cfg.close();
                       return Spawn({"haproxy", "-db", "-q", "-f", haproxyConfig}, nullptr);
                     }});
  proxies.push_back({"socat", [&](int listen, int up, std::string&) {
                       return Spawn({"socat",
                                     "TCP-LISTEN:" + std::to_string(listen) +
                                         ",bind=127.0.0.1,reuseaddr,fork,backlog=4096",
                                     "TCP:127.0.0.1:" + std::to_string(up)},
                                    nullptr);
                     }});

  // With a reference, the two builds go in the order vantelo, reference,
  // reference, vantelo: the one measured first in a case tends to come out
  // slower. Every other round runs the proxies in the reverse order, and each
  // figure is the median of all its runs.
  std::vector<const Proxy*> order;
  for (auto& proxy : proxies) order.push_back(&proxy);
  if (!referencePath.empty()) order.insert(order.begin() + 3, {&proxies[2], &proxies[1]});

  Upstream sink(Mode::Sink), source(Mode::Source), echo(Mode::Echo), smtp(Mode::Smtp),
      batch(Mode::Batch);
  std::map<std::string, Figures> results;
  std::map<std::string, std::map<std::string, std::vector<double>>> samples;
  std::vector<Case> cases = Cases(sink, source, echo, smtp, batch);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      if (!only.empty() && only != cases[i].name) continue;
      std::fprintf(stderr, "round %d of %d, %s...\n", round + 1, rounds, cases[i].name);
      std::vector<const Proxy*> turn = order;
      if (round % 2) std::reverse(turn.begin(), turn.end());
      for (const Proxy* proxy : turn) {
        Figures one;
        std::unique_ptr<Upstream> fresh;
        if (cases[i].freshUpstream) fresh = std::make_unique<Upstream>(cases[i].upstream->Kind());
        Measure(*proxy, (fresh ? fresh.get() : cases[i].upstream)->Port(), cases[i].measure, one);
        for (auto& [key, value] : one.value) samples[proxy->name][key].push_back(value);
        for (auto& [what, why] : one.failure) results[proxy->name].failure[what] = why;
      }
    }
  }
  for (auto& [name, figures] : samples) {
    for (auto& [key, values] : figures) {
      std::sort(values.begin(), values.end());
      const std::size_t n = values.size();
      results[name].value[key] = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }
  }

  const char* keys[] = {"bulk up MiB/s",        "bulk down MiB/s",      "CPU s/GiB up",
                        "CPU s/GiB down",       "round trip median us", "round trip p99 us",
                        "conn/s sequential",    "conn/s 8 clients",     "200x1MiB echo s",
                        "200 slowest setup ms", "16MiB batches MiB/s"};
  std::vector<const char*> names = {"direct", "vantelo", "haproxy", "socat"};
  std::vector<const char*> against = {"direct", "haproxy", "socat"};
  if (!referencePath.empty()) {
    names.insert(names.begin() + 2, "reference");
    against.push_back("reference");
  }
  std::printf("%-22s", "figure");
  for (const char* name : names) std::printf(" %10s", name);
  std::printf("  ");
  for (const char* other : against)
    std::printf(" %*s", static_cast<int>(std::strlen(other)) + 8,
                (std::string("vantelo/") + other).c_str());
  std::printf("\n");
  for (const char* key : keys) {
    if (!results["vantelo"].value.count(key)) continue;  // a case left out by --only
    std::printf("%-22s", key);
    for (const char* name : names) std::printf(" %10.2f", results[name].value[key]);
    std::printf("  ");
    double v = results["vantelo"].value[key];
    for (const char* other : against) {
      double o = results[other].value[key];
      std::printf(" %*.2f", static_cast<int>(std::strlen(other)) + 8, o > 0 ? v / o : 0.0);
    }
    std::printf("\n");
  }
  std::printf("%d round(s), each figure the median of its runs\n", rounds);
  return ReportFailures(results);
}
