#include "relay/socket/socket_stack.h"

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "relay/socket/net_exceptions.h"
#include "relay/socket/socket_faults.h"

namespace vantelo::relay {
namespace {

// A socket address of either family, built from an address text.
struct TAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

TAddress MakeAddress(const std::string& ip, int port) {
  TAddress a;
  const auto networkPort = htons(static_cast<std::uint16_t>(port));
  if (TSocketStack::FamilyOf(ip) == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = networkPort;
    inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr);
    a.length = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
    v4->sin_family = AF_INET;
    v4->sin_port = networkPort;
    v4->sin_addr.s_addr = ip.empty() ? htonl(INADDR_ANY) : TSocketStack::TextToAddress(ip);
    a.length = sizeof *v4;
  }
  return a;
}

bool ReadAddress(const sockaddr_storage& a, std::string& ip, int& port) {
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text)) return false;
    ip = text;
    port = ntohs(v6.sin6_port);
    return true;
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
  ip = TSocketStack::AddressToText(v4.sin_addr.s_addr);
  port = ntohs(v4.sin_port);
  return true;
}

// A part of a dotted address: decimal digits only, however many, worth at
// most 255. Leading zeros never make it octal.
bool IsDecimalByte(const std::string& part) {
  if (part.empty()) return false;
  int value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 255) return false;
  }
  return true;
}

int DecimalValue(const std::string& part) {
  int value = 0;
  for (char c : part) {
    if (c < '0' || c > '9' || value > 255) break;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

// The addresses a name look-up finds for one family, in the resolver's order.
std::vector<std::string> LookUp(const std::string& name, int family) {
  std::vector<std::string> addresses;
  if (TSocketFaults* faults = InstalledSocketFaults()) {
    if (faults->LookUp(name, family, addresses)) return addresses;
  }
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (addrinfo* a = found; a; a = a->ai_next) {
    sockaddr_storage storage{};
    std::memcpy(&storage, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof storage));
    std::string ip;
    int port = 0;
    if (a->ai_family == family && ReadAddress(storage, ip, port)) addresses.push_back(ip);
  }
  ::freeaddrinfo(found);
  return addresses;
}

// The seam's verdict on a call about to be made: an errno to fail with, or 0.
inline int InjectedError(TSocketCall call, int socket, std::size_t length = 0) {
  if (TSocketFaults* faults = InstalledSocketFaults()) [[unlikely]] {
    return faults->Inject(call, socket, length);
  }
  return 0;
}

int Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  if (int e = InjectedError(TSocketCall::Poll, count ? fds[0].fd : -1)) {
    errno = e;
    return -1;
  }
  return ::poll(fds, count, timeoutMs);
}

}  // namespace

TSocketStack& TSocketStack::Instance() {
  static TSocketStack stack;
  return stack;
}

TSocket TSocketStack::CreateSocket(int type, int protocol, int family) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

TSocket TSocketStack::Accept(TSocket listener, std::string& remoteIP, int& remotePort) {
  if (int e = InjectedError(TSocketCall::Accept, listener)) {
    errno = e;
    return -1;
  }
  sockaddr_storage remote{};
  socklen_t length = sizeof remote;
  const TSocket s = ::accept4(listener, reinterpret_cast<sockaddr*>(&remote), &length,
                              SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (s != -1) ReadAddress(remote, remoteIP, remotePort);
  return s;
}

int TSocketStack::Bind(TSocket s, const std::string& ip, int port) {
  if (int e = InjectedError(TSocketCall::Bind, s)) {
    errno = e;
    return -1;
  }
  TAddress a = MakeAddress(ip, port);
  return ::bind(s, a.get(), a.length);
}

int TSocketStack::CloseSocket(TSocket s) { return ::close(s); }

int TSocketStack::Connect(TSocket s, const std::string& ip, int port) {
  TAddress a = MakeAddress(ip, port);
  return ::connect(s, a.get(), a.length);
}

int TSocketStack::Listen(TSocket s, int backlog) { return ::listen(s, backlog); }

ssize_t TSocketStack::Recv(TSocket s, void* buffer, std::size_t length) {
  if (int e = InjectedError(TSocketCall::Recv, s, length)) {
    errno = e;
    return -1;
  }
  return ::recv(s, buffer, length, 0);
}

ssize_t TSocketStack::Send(TSocket s, const void* buffer, std::size_t length) {
  return ::send(s, buffer, length, MSG_NOSIGNAL);
}

int TSocketStack::SetSockOpt(TSocket s, int level, int option, const void* value, unsigned length) {
  return ::setsockopt(s, level, option, value, length);
}

int TSocketStack::Shutdown(TSocket s, int how) { return ::shutdown(s, how); }

int TSocketStack::SetNonBlocking(TSocket s, bool on) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags == -1) return -1;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(s, F_SETFL, flags);
}

int TSocketStack::PendingError(TSocket s) {
  int value = 0;
  socklen_t length = sizeof value;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &length) == -1) return LastError();
  return SocketErrorFromErrno(value);
}

int TSocketStack::WaitOnSets(TSocketList* read, TSocketList* write, int timeoutMs,
                             TSocketList* error) {
  TSocketList* lists[3] = {read, write, error};
  for (TSocketList* list : lists) {
    if (list && list->size() > kMaxSocketsPerSet) throw EStackSetSizeExceeded();
  }
  // One poll entry per list member: a socket named in two lists is simply
  // watched twice, which keeps the rewrite of each list trivial.
  std::array<pollfd, 3 * kMaxSocketsPerSet> fds;
  const short wanted[3] = {POLLIN, POLLOUT, 0};
  nfds_t count = 0;
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    for (TSocket s : *lists[l]) fds[count++] = pollfd{s, wanted[l], 0};
  }

  // A signal ends poll() early whatever its handler asks; the wait goes on
  // for the rest of its time.
  using Clock = std::chrono::steady_clock;
  const bool limited = timeoutMs >= 0;
  const Clock::time_point deadline =
      limited ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point();
  int wait = limited ? timeoutMs : -1;
  int result;
  while ((result = Poll(fds.data(), count, wait)) == -1 && errno == EINTR) {
    if (limited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
  if (result < 0) return -1;

  constexpr short kFailed = POLLERR | POLLHUP | POLLNVAL;
  int ready = 0;
  nfds_t i = 0;
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    TSocketList& list = *lists[l];
    std::size_t kept = 0;
    for (std::size_t k = 0; k < list.size(); ++k, ++i) {
      if (fds[i].revents & (wanted[l] | kFailed)) list[kept++] = list[k];
    }
    list.resize(kept);
    ready += static_cast<int>(kept);
  }
  return ready;
}

int TSocketStack::LastError() const { return SocketErrorFromErrno(errno); }

bool TSocketStack::LocalAddress(TSocket s, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == -1) return false;
  return ReadAddress(a, ip, port);
}

bool TSocketStack::RemoteAddress(TSocket s, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &length) == -1) return false;
  return ReadAddress(a, ip, port);
}

std::string TSocketStack::AddressToText(std::uint32_t networkOrder) {
  const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

std::uint32_t TSocketStack::TextToAddress(const std::string& dotted) {
  std::uint32_t result = 0;
  auto* b = reinterpret_cast<unsigned char*>(&result);
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = i < 3 ? dotted.find('.', start) : std::string::npos;
    std::string part =
        dotted.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    b[i] = static_cast<unsigned char>(DecimalValue(part));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return result;
}

bool TSocketStack::IsDottedAddress(const std::string& text) {
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t dot = text.find('.', start);
    if (dot == std::string::npos) return false;  // fewer than four parts
    if (!IsDecimalByte(text.substr(start, dot - start))) return false;
    start = dot + 1;
  }
  return IsDecimalByte(text.substr(start));
}

bool TSocketStack::IsIPv6Address(const std::string& text, std::string* plain) {
  std::string bare = text;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  in6_addr parsed;
  if (bare.find(':') == std::string::npos || inet_pton(AF_INET6, bare.c_str(), &parsed) != 1) {
    return false;
  }
  if (plain) *plain = bare;
  return true;
}

int TSocketStack::FamilyOf(const std::string& address) {
  return address.find(':') != std::string::npos ? AF_INET6 : AF_INET;
}

std::string TSocketStack::ResolveHost(const std::string& host) {
  if (EqualsIgnoringCase(host, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedAddress(host)) return host;
  std::string address;
  if (IsIPv6Address(host, &address)) return address;
  // IPv4 first, exactly as a look-up for IPv4 alone would answer; IPv6 only
  // for a name that has no IPv4 address at all.
  std::vector<std::string> found = LookUp(host, AF_INET);
  if (found.empty()) found = LookUp(host, AF_INET6);
  if (found.empty()) throw ESocketError(kErrHostNotFound);
  return found.front();
}

int TSocketStack::CheckForSocketError(long result, std::initializer_list<int> accepted) {
  if (result != -1) return 0;
  int number = LastError();
  for (int a : accepted) {
    if (a == number) return number;
  }
  throw ESocketError(number);
}

TSocket TSocketStack::CreateSocketHandle(int type, int protocol, int family) {
  TSocket s = CreateSocket(type, protocol, family);
  if (s == kInvalidSocket) throw EInvalidSocket();
  return s;
}

}  // namespace vantelo::relay
