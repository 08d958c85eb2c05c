// The socket layer: a thin, stateless wrapper over POSIX stream sockets.
// Listening is IPv4 only; an upstream connection may be IPv4 or IPv6.
//
// Every thread may call every operation at any time; nothing is kept between
// calls, and the last error is the calling thread's own (errno). Results
// follow the platform: -1 on failure, with LastError() giving the relay's
// error number (socket_errors.h). Sends never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace vantelo::relay {

using TSocket = int;
inline constexpr TSocket kInvalidSocket = -1;
using TSocketList = std::vector<TSocket>;

// A wait on sets watches at most this many sockets per list.
inline constexpr std::size_t kMaxSocketsPerSet = 64;
inline constexpr int kInfiniteWait = -1;

class TSocketStack {
 public:
  // The one socket layer of the process. POSIX sockets need no start-up, so
  // this never fails.
  static TSocketStack& Instance();

  // Raw calls; each returns the platform result. Addresses are texts: a
  // dotted IPv4 address, or an IPv6 address for AF_INET6 sockets; an empty
  // text is every local IPv4 address.
  TSocket CreateSocket(int type, int protocol, int family = AF_INET);  // close-on-exec
  // Non-blocking and close-on-exec; the peer's address comes with it.
  TSocket Accept(TSocket listener, std::string& remoteIP, int& remotePort);
  int Bind(TSocket s, const std::string& ip, int port);
  int CloseSocket(TSocket s);
  int Connect(TSocket s, const std::string& ip, int port);
  int Listen(TSocket s, int backlog);
  ssize_t Recv(TSocket s, void* buffer, std::size_t length);
  ssize_t Send(TSocket s, const void* buffer, std::size_t length);
  int SetSockOpt(TSocket s, int level, int option, const void* value, unsigned length);
  int Shutdown(TSocket s, int how);
  int SetNonBlocking(TSocket s, bool on);
  // The pending error of a socket (SO_ERROR) as a relay error number, 0 if none.
  int PendingError(TSocket s);

  // Waits until a socket of `read` is readable, of `write` writable, or of
  // `error` has failed or hung up; a closed or failed socket counts as
  // readable and writable, as select() would say. Each given list is
  // rewritten to hold only its ready sockets, in list order. timeoutMs:
  // kInfiniteWait or milliseconds; a wait interrupted by a signal goes on for
  // the rest of its time. Returns the number of ready sockets, 0 on time-out,
  // -1 on error (the lists are then left as they were). More than
  // kMaxSocketsPerSet in one list raises EStackSetSizeExceeded. Uses poll(),
  // so any descriptor number works.
  int WaitOnSets(TSocketList* read, TSocketList* write, int timeoutMs,
                 TSocketList* error = nullptr);

  // The relay error number of this thread's last failed call.
  int LastError() const;

  bool LocalAddress(TSocket s, std::string& ip, int& port);
  bool RemoteAddress(TSocket s, std::string& ip, int& port);

  // Dotted text of an IPv4 address in network byte order, and back (each
  // part read as a decimal number).
  static std::string AddressToText(std::uint32_t networkOrder);
  static std::uint32_t TextToAddress(const std::string& dotted);
  // True for exactly four '.'-separated parts, each of decimal digits (any
  // number of them, leading zeros too) with a value from 0 to 255.
  static bool IsDottedAddress(const std::string& text);
  // True for an IPv6 address, bare or in brackets; `plain` gets it without
  // the brackets.
  static bool IsIPv6Address(const std::string& text, std::string* plain = nullptr);
  // AF_INET6 for an IPv6 address text, else AF_INET.
  static int FamilyOf(const std::string& address);

  // "LOCALHOST" in any case gives "127.0.0.1", a dotted address itself, an
  // IPv6 address itself without brackets. Any other text is looked up by
  // name (thread-safe): the first IPv4 address found, or, for a name with no
  // IPv4 address, the first IPv6 one. A name with neither raises
  // ESocketError kErrHostNotFound.
  std::string ResolveHost(const std::string& host);

  // -1 with an error outside `accepted` raises ESocketError; returns the
  // error number when it is accepted, else 0.
  int CheckForSocketError(long result, std::initializer_list<int> accepted = {});

  // A new socket, or EInvalidSocket.
  TSocket CreateSocketHandle(int type, int protocol, int family = AF_INET);
};

inline TSocketStack& GStack() { return TSocketStack::Instance(); }

}  // namespace vantelo::relay
