#include "relay/socket/transport.h"

#include <algorithm>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// Longest single wait, so that a wake of the abandoning socket is still seen
// soon when its hang-up is not.
constexpr long long kWakeCheckMs = 250;

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
    (need == TNeed::Readable ? read : write).push_back(socket.SocketHandle());
    if (abandonOnHangUp && abandonOnHangUp->SocketOpen()) {
      hungUp.push_back(abandonOnHangUp->SocketHandle());
    }
    const int ready = GStack().WaitOnSets(
        &read, &write, static_cast<int>(std::min<long long>(left, kWakeCheckMs)), &hungUp);
    if (ready < 0) throw ESocketError(GStack().LastError());
    if (!hungUp.empty()) return TWaitEnd::Abandoned;
    if (!read.empty() || !write.empty()) return TWaitEnd::Ready;
  }
}

}  // namespace vantelo::relay
