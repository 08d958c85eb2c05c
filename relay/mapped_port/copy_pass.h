// The copy pass of one relayed connection: what moves in each pass, and when
// the relayed connection is over.
//
// Rules, per direction (client to server, server to client):
//  - A direction holds at most one unit: the bytes of one receive from its
//    source (at most kRelayUnitSize, and at most the source's
//    RecvBufferSize), not yet all sent to its destination. It receives again
//    only when the unit has all been sent, so bytes keep their order and the
//    memory per connection stays bounded.
//  - A receive of 0 bytes means the source has ended its sending. Nothing is
//    pending then (it only receives with nothing pending), so the end is
//    passed on at once: the destination is shut down for sending. The
//    direction has ended.
//  - Each pass waits once for both sockets, then moves at most one unit client
//    to server, then at most one unit server to client. What each side waits
//    for is what its connection says it needs (ReceiveNeeds, SendNeeds); a
//    side whose bytes already wait inside its connection needs no wait.
//  - Except while bytes stream: after a pass whose receives filled whole
//    units and left nothing pending either way, the next pass receives again
//    in those directions without the wait (a receive finding nothing is not
//    an error). A pass that then moves nothing or leaves a unit pending, and
//    every kMaxStreamingPasses-th pass, waits again, so the other direction
//    and a failure of either side are seen within a few units.
// And for the whole connection:
//  - It is over when both directions have ended, or when one has ended and no
//    byte has moved either way for the idle limit.
//  - A failed call raises ESocketError (FailedSide() names the side; none for
//    a failed wait); the caller decides (a reset or abort ends the whole
//    connection at once).
//  - A wake of the inbound side (the relay is being destroyed) abandons it.
//
// Used only by the relayed connection's worker thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

inline constexpr std::size_t kRelayUnitSize = 32768;
inline constexpr int kMaxStreamingPasses = 8;

// One direction of a relayed connection.
struct TRelayDirection {
  TTCPConnection* from = nullptr;
  TTCPConnection* to = nullptr;
  char* buffer = nullptr;  // kRelayUnitSize bytes, reused for the whole connection
  std::size_t begin = 0;   // the unit still to send is buffer[begin, end)
  std::size_t end = 0;
  bool ended = false;  // `from` ended its sending, and `to` was told (shut down for sending)

  bool UnitPending() const { return begin != end; }
  bool WantsToReceive() const { return !ended && !UnitPending(); }
};

class TCopyPass {
 public:
  enum class TOutcome {
    Relaying,   // go on with the next pass
    Ended,      // both directions have ended: everything is delivered
    Idle,       // one has ended and nothing has moved for the idle limit
    Abandoned,  // the inbound side was woken: the relay is being destroyed
  };

  TCopyPass(TTCPConnection& inbound, TTCPConnection& upstream);

  // Before the first pass: `bytes` (at most kRelayUnitSize), already read
  // from the client, go upstream first, as a unit of their own.
  void Preload(std::string_view bytes);
  // One pass. idleLimitMs bounds how long a connection with one side ended
  // may go without a byte moving.
  TOutcome Run(int idleLimitMs);
  // The side whose call raised in the last Run; null for the wait.
  TTCPConnection* FailedSide() const { return current_; }
  // After `failed` has reset or aborted: what it had sent before, still held
  // by its socket, goes on to the other side, with any unit still pending
  // that way first. Stops at its end, when the other side cannot take more
  // for limitMs, or at a wake; never raises.
  void DeliverRest(TTCPConnection& failed, int limitMs);

  const TRelayDirection& ToUpstream() const { return toUpstream_; }
  const TRelayDirection& ToClient() const { return toClient_; }

 private:
  using Clock = std::chrono::steady_clock;
  // Puts `side` in the wait list for what it has to do next; false when it
  // cannot be watched at all.
  bool Watch(TTCPConnection& side, const TRelayDirection& outgoing,
             const TRelayDirection& incoming);
  void WatchFor(TSocket s, TNeed need);
  // After the wait: whether `side` can go on with what it needed.
  bool Ready(const TTCPConnection& side, TNeed need) const;
  bool CanReceive(const TTCPConnection& side) const { return Ready(side, side.ReceiveNeeds()); }
  bool CanSend(const TTCPConnection& side) const { return Ready(side, side.SendNeeds()); }
  int TimeLimit(int idleLimitMs, bool inboundWatched) const;
  // The pass with its wait; false when the wait found the inbound side woken.
  bool WaitAndMove(int idleLimitMs, bool& moved);
  void CheckHangUps();
  bool Move(TRelayDirection& d, bool fromReadable, bool toWritable);
  bool Flush(TRelayDirection& d);

  TTCPConnection& inbound_;
  TTCPConnection& upstream_;
  std::unique_ptr<char[]> buffers_;
  TRelayDirection toUpstream_;
  TRelayDirection toClient_;
  TSocketList readList_;    // sockets waited on for reading, rebuilt each pass
  TSocketList writeList_;   // sockets waited on for room to send
  TSocketList hangUpList_;  // sockets with nothing to move, watched for failure
  TTCPConnection* current_ = nullptr;
  bool readyNow_ = false;           // a side can go on without a wait
  int streamingPasses_ = 0;         // passes in a row without the wait
  bool filledUp_ = false;           // this pass received a whole unit client to server
  bool filledDown_ = false;         // ... server to client
  bool halfClosed_ = false;         // one direction has ended
  Clock::time_point lastProgress_;  // kept only while halfClosed_
};

}  // namespace vantelo::relay
