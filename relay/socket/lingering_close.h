// Closing connections without losing what was sent to their peers.
//
// Closing a socket that still holds unread bytes, or that receives bytes after
// the close, makes the system answer with a reset, and a reset makes the peer
// drop whatever it has not read yet. A lingering close gives the peer the
// chance to read everything first: it ends the sending (the peer reads every
// byte sent before, then the end), reads and discards what the peer still
// sends until the peer ends too, and only then closes.
//
// Called by the thread that owns the connections.
#pragma once

#include <initializer_list>

#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

// Lingering close of every open connection in `connections`, side by side:
// each is shut down for sending; what their peers still send is read (at most
// RecvBufferSize bytes a receive) and discarded until every peer has ended its
// sending or reset, for at most limitMs in all, or until `abandonOnWake` (may
// be null) has been woken by another thread; then each is closed, in the
// order given. A connection whose peer has already ended (PeerEnded) is
// closed without a wait. Raises nothing: returns the first error number met
// on the way (a peer that reset instead of ending, a failed wait), else 0.
int CloseLingering(std::initializer_list<TTCPConnection*> connections, int limitMs,
                   const TSocketHandle* abandonOnWake);

}  // namespace vantelo::relay
