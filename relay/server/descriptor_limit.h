// How many descriptors the relay may hold. Each relayed connection holds two,
// so a session's usual soft limit of 1024 stops a relay at about 500
// connections, although the hard limit allows far more.
#pragma once

namespace vantelo::relay {

// Raises this process's soft limit on open descriptors (RLIMIT_NOFILE) to its
// hard limit, as servers commonly do. Call it once at program start on the
// main thread, after connecting the relay log (relay/log/log_sink.h).
// Returns true when the soft limit now equals the hard limit (also when it
// already did). On
// failure the limit stays as it was, one line goes to the relay log, and it
// returns false; the program can go on with the lower limit.
bool RaiseDescriptorLimit();

}  // namespace vantelo::relay
