// relay-bench VANTELO_RELAY [REFERENCE_RELAY]: measures the relay program
// against a direct loopback connection, socat and haproxy in one run, and
// prints each figure with its ratios. With REFERENCE_RELAY (another build of
// vantelo-relay, e.g. the one before a change) that one is measured in the
// same run too. Each case runs against every proxy in turn before the next
// case starts, so that a busy machine disturbs them alike. Figures, not a
// pass/fail test.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
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
enum class Mode { Sink, Source, Echo, Smtp, Batch };
constexpr size_t kBulkBytes = size_t{1} << 30;
constexpr size_t kBatch = 16 << 20;

class Upstream {
 public:
  explicit Upstream(Mode mode) : mode_(mode) {
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
  std::atomic<size_t> sunk{0};

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
        static const char greet[] = "220 bench.example ESMTP ready\r\n";
        static const char bye[] = "221 2.0.0 Bye\r\n";
        if (!SendAll(c, greet, sizeof greet - 1)) return;
        if (!RecvAll(c, buf.data(), 6)) return;  // "QUIT\r\n"
        SendAll(c, bye, sizeof bye - 1);
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
  for (int i = 0; i < 20000; ++i) {
    auto t0 = Clock::now();
    if (!SendAll(fd, msg, 64) || !RecvAll(fd, back, 64)) break;
    if (i >= 1000) us.push_back(Seconds(t0, Clock::now()) * 1e6);
  }
  close(fd);
  if (us.empty()) return {0, 0};
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// SMTP-like connections (greeting, QUIT, reply, close) per second.
double ConnectionsPerSecond(int port, int clients, double seconds, int& failures) {
  std::atomic<long> done{0};
  std::atomic<int> failed{0};
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&] {
      char buf[64];
      while (Clock::now() < end) {
        int fd = Connect(port);
        bool ok = fd >= 0 && recv(fd, buf, sizeof buf, 0) > 0 && SendAll(fd, "QUIT\r\n", 6) &&
                  recv(fd, buf, sizeof buf, 0) > 0;
        if (fd >= 0) close(fd);
        ok ? ++done : ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  failures = failed;
  return done / Seconds(t0, Clock::now());
}

// 200 connections at once, each echoing 1 MiB; returns the wall time (s).
double ConcurrentEcho(int port, int& failures) {
  constexpr int kConnections = 200;
  constexpr size_t kEach = 1 << 20;
  std::atomic<int> failed{0};
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnections; ++i) {
    threads.emplace_back([&, i] {
      std::vector<char> out(kEach), in(kEach);
      for (size_t k = 0; k < kEach; ++k) out[k] = static_cast<char>(k * 31 + i);
      int fd = Connect(port);
      if (fd < 0) {
        ++failed;
        return;
      }
      std::thread writer([&] { SendAll(fd, out.data(), kEach); });
      bool ok = RecvAll(fd, in.data(), kEach) && in == out;
      writer.join();
      close(fd);
      if (!ok) ++failed;
    });
  }
  for (auto& t : threads) t.join();
  failures = failed;
  return Seconds(t0, Clock::now());
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
  Upstream* upstream;
  std::function<void(int port, pid_t pid, Figures& f)> measure;
};

std::vector<Case> Cases(Upstream& sink, Upstream& source, Upstream& echo, Upstream& smtp,
                        Upstream& batch) {
  return {
      {&sink,
       [&sink](int port, pid_t pid, Figures& f) {
         double cpu0 = CpuSeconds(pid);
         f.value["bulk up MiB/s"] = BulkUp(port, sink);
         f.value["CPU s/GiB up"] = CpuSeconds(pid) - cpu0;
       }},
      {&source,
       [](int port, pid_t pid, Figures& f) {
         double cpu0 = CpuSeconds(pid);
         f.value["bulk down MiB/s"] = BulkDown(port);
         f.value["CPU s/GiB down"] = CpuSeconds(pid) - cpu0;
       }},
      {&echo,
       [](int port, pid_t, Figures& f) {
         auto [median, p99] = PingPong(port);
         f.value["round trip median us"] = median;
         f.value["round trip p99 us"] = p99;
       }},
      {&smtp,
       [](int port, pid_t, Figures& f) {
         int failures = 0;
         f.value["conn/s sequential"] = ConnectionsPerSecond(port, 1, 2.0, failures);
         if (failures) f.failure["sequential connections"] = std::to_string(failures) + " failed";
         f.value["conn/s 8 clients"] = ConnectionsPerSecond(port, 8, 2.0, failures);
         if (failures) f.failure["parallel connections"] = std::to_string(failures) + " failed";
       }},
      {&echo,
       [](int port, pid_t, Figures& f) {
         int failures = 0;
         f.value["200x1MiB echo s"] = ConcurrentEcho(port, failures);
         if (failures) f.failure["200 x 1 MiB echo"] = std::to_string(failures) + " failed";
       }},
      {&batch,
       [](int port, pid_t, Figures& f) {
         double s = Duplex(port);
         if (s < 0) f.failure["duplex"] = "stalled or corrupted";
         f.value["duplex 64MiB s"] = s;
       }},
  };
}

// Runs one case through one proxy, started for it and stopped after it.
void Measure(const Proxy& proxy, const Case& c, Figures& f) {
  std::string error;
  int port = proxy.start ? FreePort() : c.upstream->Port();
  pid_t pid = proxy.start ? proxy.start(port, c.upstream->Port(), error) : 0;
  if (pid < 0 || !WaitForPort(port)) {
    f.failure["start"] = error.empty() ? "did not start" : error;
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    return;
  }
  c.measure(port, pid, f);
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: relay-bench PATH/TO/vantelo-relay [PATH/TO/reference-relay]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string relayPath = argv[1];
  const std::string referencePath = argc == 3 ? argv[2] : "";
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
                       return Spawn({"socat", "TCP-LISTEN:" + std::to_string(listen) +
                                                  ",bind=127.0.0.1,reuseaddr,fork,backlog=4096",
                                     "TCP:127.0.0.1:" + std::to_string(up)}, nullptr);
                     }});

  // With a reference, the two builds go in the order vantelo, reference,
  // reference, vantelo, and each figure is the mean of its two runs: the one
  // measured first in a case tends to come out slower.
  std::vector<const Proxy*> order;
  for (auto& proxy : proxies) order.push_back(&proxy);
  if (!referencePath.empty()) order.insert(order.begin() + 3, {&proxies[2], &proxies[1]});

  Upstream sink(Mode::Sink), source(Mode::Source), echo(Mode::Echo), smtp(Mode::Smtp),
      batch(Mode::Batch);
  std::map<std::string, Figures> results;
  std::map<std::string, std::map<std::string, int>> samples;
  std::vector<Case> cases = Cases(sink, source, echo, smtp, batch);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::fprintf(stderr, "case %zu of %zu...\n", i + 1, cases.size());
    for (const Proxy* proxy : order) {
      Figures one;
      Measure(*proxy, cases[i], one);
      Figures& all = results[proxy->name];
      for (auto& [key, value] : one.value) {
        int n = ++samples[proxy->name][key];
        all.value[key] += (value - all.value[key]) / n;  // running mean
      }
      for (auto& [what, why] : one.failure) all.failure[what] = why;
    }
  }

  const char* keys[] = {"bulk up MiB/s",     "bulk down MiB/s",      "CPU s/GiB up",
                        "CPU s/GiB down",    "round trip median us", "round trip p99 us",
                        "conn/s sequential", "conn/s 8 clients",     "200x1MiB echo s",
                        "duplex 64MiB s"};
  std::vector<const char*> names = {"direct", "vantelo", "haproxy", "socat"};
  std::vector<const char*> against = {"direct", "haproxy", "socat"};
  if (!referencePath.empty()) {
    names.insert(names.begin() + 2, "reference");
    against.push_back("reference");
  }
  std::printf("%-22s", "figure");
  for (const char* name : names) std::printf(" %10s", name);
  std::printf("  ");
  for (const char* other : against) std::printf(" %*s", static_cast<int>(std::strlen(other)) + 8, (std::string("vantelo/") + other).c_str());
  std::printf("\n");
  for (const char* key : keys) {
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
  int failures = 0;
  for (auto& [name, f] : results) {
    for (auto& [what, why] : f.failure) {
      std::printf("FAILURE %s: %s: %s\n", name.c_str(), what.c_str(), why.c_str());
      ++failures;
    }
  }
  std::printf("%s\n", failures ? "some cases failed" : "no failures in any case");
  return failures ? 1 : 0;
}
