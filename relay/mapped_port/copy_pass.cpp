#include "relay/mapped_port/copy_pass.h"

#include <algorithm>

#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// Longest single wait while the inbound side goes unwatched (see Watch), so
// that a wake from the relay's destruction is still seen soon.
constexpr int kWakeCheckMs = 250;

bool Holds(const TSocketList& list, TSocket s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

void AddOnce(TSocketList& list, TSocket s) {
  if (!Holds(list, s)) list.push_back(s);
}

}  // namespace

TCopyPass::TCopyPass(TTCPConnection& inbound, TTCPConnection& upstream)
    : inbound_(inbound), upstream_(upstream), buffers_(new char[2 * kRelayUnitSize]) {
  toUpstream_.from = &inbound;
  toUpstream_.to = &upstream;
  toUpstream_.buffer = buffers_.get();
  toClient_.from = &upstream;
  toClient_.to = &inbound;
  toClient_.buffer = buffers_.get() + kRelayUnitSize;
  readList_.reserve(2);
  writeList_.reserve(2);
  hangUpList_.reserve(2);
}

void TCopyPass::Preload(std::string_view bytes) {
  const std::size_t n = std::min(bytes.size(), kRelayUnitSize);
  std::copy_n(bytes.data(), n, toUpstream_.buffer);
  toUpstream_.begin = 0;
  toUpstream_.end = n;
}

TCopyPass::TOutcome TCopyPass::Run(int idleLimitMs) {
  const bool streaming = (filledUp_ || filledDown_) && streamingPasses_ < kMaxStreamingPasses;
  const bool up = filledUp_, down = filledDown_;
  filledUp_ = filledDown_ = false;
  bool moved = false;
  if (streaming) {
    // More is most likely waiting where a whole unit came: one receive
    // saves a wait per unit.
    ++streamingPasses_;
    if (inbound_.SocketBinding.Woken()) return TOutcome::Abandoned;
    if (up) moved |= Move(toUpstream_, true, true);
    if (down) moved |= Move(toClient_, true, true);
  } else {
    streamingPasses_ = 0;
    if (!WaitAndMove(idleLimitMs, moved)) return TOutcome::Abandoned;
  }
  if (toUpstream_.ended && toClient_.ended) return TOutcome::Ended;
  if (!moved || toUpstream_.UnitPending() || toClient_.UnitPending() || toUpstream_.ended ||
      toClient_.ended) {
    filledUp_ = filledDown_ = false;
  }

  if (toUpstream_.ended || toClient_.ended) {
    const Clock::time_point now = Clock::now();
    if (!halfClosed_ || moved) {
      halfClosed_ = true;
      lastProgress_ = now;
    } else if (now - lastProgress_ >= std::chrono::milliseconds(idleLimitMs)) {
      return TOutcome::Idle;
    }
  }
  return TOutcome::Relaying;
}

bool TCopyPass::WaitAndMove(int idleLimitMs, bool& moved) {
  readList_.clear();
  writeList_.clear();
  hangUpList_.clear();
  readyNow_ = false;
  const bool inboundWatched = Watch(inbound_, toUpstream_, toClient_);
  Watch(upstream_, toClient_, toUpstream_);

  // Bytes already waiting inside a side's transport need no wait.
  const int ready =
      GStack().WaitOnSets(&readList_, &writeList_,
                          readyNow_ ? 0 : TimeLimit(idleLimitMs, inboundWatched), &hangUpList_);
  if (inbound_.SocketBinding.Woken()) return false;
  if (ready < 0) {
    // A wait that fails would fail again at once: raise it, so that it
    // counts as a failed pass instead of spinning unseen.
    current_ = nullptr;
    throw ESocketError(GStack().LastError());
  }
  if (ready > 0 || readyNow_) {
    CheckHangUps();
    // Client to server first, then server to client.
    moved |= Move(toUpstream_, CanReceive(inbound_), CanSend(upstream_));
    moved |= Move(toClient_, CanReceive(upstream_), CanSend(inbound_));
  }
  return true;
}

void TCopyPass::DeliverRest(TTCPConnection& failed, int limitMs) {
  TRelayDirection& d = &failed == &inbound_ ? toUpstream_ : toClient_;
  if (d.ended) return;
  Clock::time_point lastProgress = Clock::now();
  try {
    while (!inbound_.SocketBinding.Woken() &&
           Clock::now() - lastProgress < std::chrono::milliseconds(limitMs)) {
      if (!d.UnitPending()) {
        // A reset socket gives what it holds, then its end or the error.
        const ssize_t n = d.from->ReceiveSome(d.buffer, kRelayUnitSize);
        if (n <= 0) return;
        d.begin = 0;
        d.end = static_cast<std::size_t>(n);
      }
      if (Flush(d)) {
        lastProgress = Clock::now();
      } else {
        d.to->WaitUntil(d.to->SendNeeds(), kWakeCheckMs);
      }
    }
  } catch (const std::exception& e) {
    // The reset side's own error, met again, or the other side failing too.
    RelayLog(TRelayLogLevel::Debug, "passing on the last bytes of a reset side: " + ReasonOf(e));
  }
}

bool TCopyPass::Watch(TTCPConnection& side, const TRelayDirection& outgoing,
                      const TRelayDirection& incoming) {
  const TSocket s = side.SocketBinding.SocketHandle();
  const bool reading = outgoing.WantsToReceive();
  const bool writing = incoming.UnitPending();
  // What the side's transport needs for each: for TLS a receive may have to
  // send and a send may have to receive first.
  if (reading) WatchFor(s, side.ReceiveNeeds());
  if (writing) WatchFor(s, side.SendNeeds());
  if (reading || writing) return true;
  // Nothing to move on this side: watch it for a reset or a wake. Not once it
  // has been shut down for sending, though: when its peer's end has arrived
  // too (read or not), it is shut both ways and reads as hung up for good.
  if (side.SocketBinding.SendingEnded()) return false;
  hangUpList_.push_back(s);
  return true;
}

void TCopyPass::WatchFor(TSocket s, TNeed need) {
  switch (need) {
    case TNeed::Readable:
      AddOnce(readList_, s);
      break;
    case TNeed::Writable:
      AddOnce(writeList_, s);
      break;
    case TNeed::Nothing:
      readyNow_ = true;
      break;
  }
}

bool TCopyPass::Ready(const TTCPConnection& side, TNeed need) const {
  const TSocket s = side.SocketBinding.SocketHandle();
  switch (need) {
    case TNeed::Readable:
      return Holds(readList_, s);
    case TNeed::Writable:
      return Holds(writeList_, s);
    case TNeed::Nothing:
      return true;
  }
  return false;
}

int TCopyPass::TimeLimit(int idleLimitMs, bool inboundWatched) const {
  // While both directions go on, nothing times out: wait as long as it takes.
  int limit = kInfiniteWait;
  if (halfClosed_) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    lastProgress_ + std::chrono::milliseconds(idleLimitMs) - Clock::now())
                    .count();
    limit = left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
  }
  if (!inboundWatched)
    limit = limit == kInfiniteWait ? kWakeCheckMs : std::min(limit, kWakeCheckMs);
  return limit;
}

void TCopyPass::CheckHangUps() {
  for (TSocket s : hangUpList_) {
    current_ = s == inbound_.SocketBinding.SocketHandle() ? &inbound_ : &upstream_;
    // Only sides not yet shut down for sending are watched here, so one that
    // hung up without an error of its own was shut both ways under us, which
    // only a reset does.
    const int error = GStack().PendingError(s);
    throw ESocketError(error ? error : kErrConnReset);
  }
}

bool TCopyPass::Move(TRelayDirection& d, bool fromReadable, bool toWritable) {
  bool received = false;
  if (fromReadable && d.WantsToReceive()) {
    current_ = d.from;
    const ssize_t n = d.from->ReceiveSome(d.buffer, kRelayUnitSize);
    if (n > 0) {
      d.begin = 0;
      d.end = static_cast<std::size_t>(n);
      received = true;
      if (d.end == kRelayUnitSize || static_cast<int>(n) == d.from->RecvBufferSize)
        (&d == &toUpstream_ ? filledUp_ : filledDown_) = true;
    } else if (n == 0) {
      // The source has ended; nothing is pending, so the end goes on at once.
      current_ = d.to;
      d.to->EndSending();
      d.ended = true;
      return false;
    }
  }
  bool sent = false;
  if (d.UnitPending() && (received || toWritable)) {
    current_ = d.to;
    sent = Flush(d);
  }
  return received || sent;
}

bool TCopyPass::Flush(TRelayDirection& d) {
  bool sent = false;
  while (d.UnitPending()) {
    const std::size_t n = d.to->SendSome(d.buffer + d.begin, d.end - d.begin);
    if (n == 0) break;  // the destination's send buffer is full
    d.begin += n;
    sent = true;
  }
  return sent;
}

}  // namespace vantelo::relay
