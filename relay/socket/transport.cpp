#include "relay/socket/transport.h"

#include <algorithm>
#include <sys/socket.h>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// Longest single wait, so that a wake of the abandoning socket is still seen
// soon when its hang-up is not.
constexpr long long kWakeCheckMs = 250;

// Whether the peer of `s` has ended its sending with nothing left to read
// (1), has bytes waiting (0), or neither yet (-1).
int PeerGone(TSocket s) {
  char byte;
  const ssize_t n = ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 ? 1 : n > 0 ? 0 : -1;
}

}  // namespace

ssize_t TPlainTransport::Receive(char* buffer, std::size_t length, int& error) {
  const ssize_t n = socket_.Receive(buffer, length);
  if (n < 0) error = GStack().LastError();
  return n;
}

ssize_t TPlainTransport::Send(const char* data, std::size_t length, int& error) {
  const ssize_t n = socket_.Send(data, length);
  if (n < 0) error = GStack().LastError();
  return n;
}

TWaitEnd WaitForSocket(const TSocketHandle& socket, TNeed need,
                       std::chrono::steady_clock::time_point deadline,
                       const TSocketHandle* abandonOnHangUp) {
  using Clock = std::chrono::steady_clock;
  if (need == TNeed::Nothing) return TWaitEnd::Ready;
  TSocketList read;
  TSocketList write;
  TSocketList hungUp;
  for (;;) {
    if (abandonOnHangUp && abandonOnHangUp->Woken()) return TWaitEnd::Abandoned;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return TWaitEnd::TimedOut;
    read.clear();
    write.clear();
    hungUp.clear();
    const TSocket own = socket.SocketHandle();
    (need == TNeed::Readable ? read : write).push_back(own);
    TSocket watched = kInvalidSocket;
    if (abandonOnHangUp && abandonOnHangUp->SocketOpen()) {
      watched = abandonOnHangUp->SocketHandle();
      hungUp.push_back(watched);
      // A client that gave up and closed has left nothing to pass on; one
      // that sent its whole dialogue and ended its sending still waits for
      // the replies. Watched for its end only while nothing waits unread.
      switch (PeerGone(watched)) {
        case 1:
          return TWaitEnd::Abandoned;
        case -1:
          read.push_back(watched);
          break;
        default:
          break;
      }
    }
    const int ready = GStack().WaitOnSets(
        &read, &write, static_cast<int>(std::min<long long>(left, kWakeCheckMs)), &hungUp);
    if (ready < 0) throw ESocketError(GStack().LastError());
    if (!hungUp.empty()) return TWaitEnd::Abandoned;
    if (!write.empty() || std::find(read.begin(), read.end(), own) != read.end())
      return TWaitEnd::Ready;
  }
}

}  // namespace vantelo::relay
