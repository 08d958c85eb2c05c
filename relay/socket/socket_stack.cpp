#include "relay/socket/socket_stack.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// The number the original platform gave a name that could not be found.
constexpr int kErrHostNotFound = 11001;

sockaddr_in MakeAddress(const std::string& ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = ip.empty() ? htonl(INADDR_ANY) : TSocketStack::TextToAddress(ip);
  return a;
}

bool ReadAddress(const sockaddr_in& a, std::string& ip, int& port) {
  ip = TSocketStack::AddressToText(a.sin_addr.s_addr);
  port = ntohs(a.sin_port);
  return true;
}

bool IsDecimalByte(const std::string& part) {
  if (part.empty() || part.size() > 3) return false;
  int value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= 255;
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

}  // namespace

TSocketStack& TSocketStack::Instance() {
  static TSocketStack stack;
  return stack;
}

TSocket TSocketStack::CreateSocket(int type, int protocol) {
  return ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
}

TSocket TSocketStack::Accept(TSocket listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

int TSocketStack::Bind(TSocket s, const std::string& ip, int port) {
  sockaddr_in a = MakeAddress(ip, port);
  return ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

int TSocketStack::CloseSocket(TSocket s) { return ::close(s); }

int TSocketStack::Connect(TSocket s, const std::string& ip, int port) {
  sockaddr_in a = MakeAddress(ip, port);
  return ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

int TSocketStack::Listen(TSocket s, int backlog) { return ::listen(s, backlog); }

ssize_t TSocketStack::Recv(TSocket s, void* buffer, std::size_t length) {
  return ::recv(s, buffer, length, 0);
}

ssize_t TSocketStack::Send(TSocket s, const void* buffer, std::size_t length) {
  return ::send(s, buffer, length, MSG_NOSIGNAL);
}

int TSocketStack::SetSockOpt(TSocket s, int level, int option, const void* value,
                             unsigned length) {
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
  int result;
  do {
    result = ::poll(fds.data(), count, timeoutMs < 0 ? -1 : timeoutMs);
  } while (result == -1 && errno == EINTR && timeoutMs < 0);
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
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == -1) return false;
  return ReadAddress(a, ip, port);
}

bool TSocketStack::RemoteAddress(TSocket s, std::string& ip, int& port) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &length) == -1) return false;
  return ReadAddress(a, ip, port);
}

std::string TSocketStack::AddressToText(std::uint32_t networkOrder) {
  const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
         "." + std::to_string(b[3]);
}

std::uint32_t TSocketStack::TextToAddress(const std::string& dotted) {
  std::uint32_t result = 0;
  auto* b = reinterpret_cast<unsigned char*>(&result);
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = i < 3 ? dotted.find('.', start) : std::string::npos;
    std::string part = dotted.substr(start, dot == std::string::npos ? std::string::npos
                                                                     : dot - start);
    b[i] = static_cast<unsigned char>(std::atoi(part.c_str()));
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

std::string TSocketStack::ResolveHost(const std::string& host) {
  if (EqualsIgnoringCase(host, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedAddress(host)) return host;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    throw ESocketError(kErrHostNotFound);
  }
  std::string text =
      AddressToText(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(found);
  return text;
}

int TSocketStack::CheckForSocketError(long result, std::initializer_list<int> accepted) {
  if (result != -1) return 0;
  int number = LastError();
  for (int a : accepted) {
    if (a == number) return number;
  }
  throw ESocketError(number);
}

TSocket TSocketStack::CreateSocketHandle(int type, int protocol) {
  TSocket s = CreateSocket(type, protocol);
  if (s == kInvalidSocket) throw EInvalidSocket();
  return s;
}

}  // namespace vantelo::relay
