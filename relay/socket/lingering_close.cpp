#include "relay/socket/lingering_close.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// Longest single wait, so that a wake of a handle that is not itself waited
// on (its peer has ended already) is still seen soon.
constexpr int kWakeCheckMs = 250;
constexpr std::size_t kDiscardSize = 16384;

// Reads and discards what `c` holds now; false once nothing more can come
// (its peer has ended, or it failed: `error` then holds the number).
bool DiscardAvailable(TTCPConnection& c, char* buffer, int& error) {
  try {
    for (;;) {
      ssize_t n = c.ReceiveSome(buffer, kDiscardSize);
      if (n < 0) return true;    // nothing more for now
      if (n == 0) return false;  // the peer has ended
    }
  } catch (const ESocketError& e) {
    error = e.LastError;
  } catch (const ENetException& e) {
    // Not a socket error (the socket was closed meanwhile): stop draining it.
    RelayLog(TRelayLogLevel::Info, "closing: draining stopped: " + ReasonOf(e));
  }
  return false;
}

}  // namespace

int CloseLingering(std::initializer_list<TTCPConnection*> connections, int limitMs,
                   const TSocketHandle* abandonOnWake) {
  int firstError = 0;
  using Clock = std::chrono::steady_clock;
  std::array<TTCPConnection*, 4> draining{};
  std::size_t count = 0;
  for (TTCPConnection* c : connections) {
    if (!c->SocketBinding.SocketOpen()) continue;
    c->FinishSending();
    if (!c->PeerEnded() && count < draining.size()) draining[count++] = c;
  }

  if (count > 0) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::array<char, kDiscardSize> discard;
    TSocketList read;
    while (count > 0 && !(abandonOnWake && abandonOnWake->Woken())) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      read.clear();
      for (std::size_t i = 0; i < count; ++i)
        read.push_back(draining[i]->SocketBinding.SocketHandle());
      if (GStack().WaitOnSets(&read, nullptr, std::min<int>(static_cast<int>(left), kWakeCheckMs)) <
          0) {
        firstError = GStack().LastError();
        break;
      }
      for (std::size_t i = 0; i < count;) {
        TTCPConnection* c = draining[i];
        const bool ready =
            std::find(read.begin(), read.end(), c->SocketBinding.SocketHandle()) != read.end();
        int error = 0;
        const bool more = !ready || DiscardAvailable(*c, discard.data(), error);
        if (error && !firstError) firstError = error;
        if (!more) {
          draining[i] = draining[--count];
        } else {
          ++i;
        }
      }
    }
  }

  for (TTCPConnection* c : connections) {
    try {
      c->CloseConnection();
    } catch (const std::exception& e) {
      // A close raises only from an OnDisconnected handler; the socket is closed by then.
      RelayLog(TRelayLogLevel::Warning, "closing: " + ReasonOf(e));
    }
  }
  return firstError;
}

}  // namespace vantelo::relay
