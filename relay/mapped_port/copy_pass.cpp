#include "relay/mapped_port/copy_pass.h"

#include <algorithm>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

bool Holds(const TSocketList& list, TSocket s) {
  return std::find(list.begin(), list.end(), s) != list.end();
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

TCopyPass::TOutcome TCopyPass::Run(int idleLimitMs) {
  readList_.clear();
  writeList_.clear();
  hangUpList_.clear();
  Watch(inbound_, toUpstream_, toClient_);
  Watch(upstream_, toClient_, toUpstream_);

  const int ready =
      GStack().WaitOnSets(&readList_, &writeList_, TimeLimit(idleLimitMs), &hangUpList_);
  if (inbound_.SocketBinding.Woken()) return TOutcome::Abandoned;

  bool moved = false;
  if (ready > 0) {
    CheckHangUps();
    const TSocket in = inbound_.SocketBinding.SocketHandle();
    const TSocket up = upstream_.SocketBinding.SocketHandle();
    // Client to server first, then server to client.
    moved |= Move(toUpstream_, Holds(readList_, in), Holds(writeList_, up));
    moved |= Move(toClient_, Holds(readList_, up), Holds(writeList_, in));
  }
  if (toUpstream_.ended && toClient_.ended) return TOutcome::Ended;

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

void TCopyPass::Watch(TTCPConnection& side, const TRelayDirection& outgoing,
                      const TRelayDirection& incoming) {
  const TSocket s = side.SocketBinding.SocketHandle();
  const bool reading = outgoing.WantsToReceive();
  const bool writing = incoming.UnitPending();
  if (reading) readList_.push_back(s);
  if (writing) writeList_.push_back(s);
  // Nothing to move on this side: still watch it for a reset or a wake. (It
  // is never shut both ways here: that takes both directions ended, and the
  // connection is then over.)
  if (!reading && !writing) hangUpList_.push_back(s);
}

int TCopyPass::TimeLimit(int idleLimitMs) const {
  // While both directions go on, nothing times out: wait as long as it takes.
  if (!halfClosed_) return kInfiniteWait;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(
                  lastProgress_ + std::chrono::milliseconds(idleLimitMs) - Clock::now())
                  .count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

void TCopyPass::CheckHangUps() {
  for (TSocket s : hangUpList_) {
    current_ = s == inbound_.SocketBinding.SocketHandle() ? &inbound_ : &upstream_;
    // A side that hung up without an error of its own was shut both ways
    // under us, which only a reset does.
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
