// Where the dial-up monitor learns about entries and connections. Each source
// reports what it finds; a source that is not there reports nothing, at once
// and without a message. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantelo::dialup {

// The status of one connection, as the monitor hands it to its handler.
struct TRasConnStatus {
  std::uint32_t State = 0;  // a state code of the status tables
  int ErrorCode = 0;        // 0 when there is none
  std::string DeviceType;
  std::string DeviceName;
};

struct TRasConnection {
  int Handle = 0;
  std::string EntryName;
  TRasConnStatus Status;  // its device type and name are the connection's too
  // The interface that carries the connection's traffic when it is not the
  // device itself (NetworkManager's PPPoE runs ppp0 over eth0). With the
  // device name, it tells a later source that the link is already reported.
  std::string IpInterface;
};

class TConnectionSource {
 public:
  virtual ~TConnectionSource() = default;
  // Dial-up-like connection profiles, in the source's order.
  virtual std::vector<std::string> Entries() = 0;
  // Wi-Fi and wired profiles, in the source's order; asked for only when the
  // user wants them as entries.
  virtual std::vector<std::string> LanEntries() { return {}; }
  // Active connections in the source's order: the dial-up-like ones, and
  // when `withLan` the Wi-Fi and wired ones too, ahead of them, so that a
  // dial-up-like connection (a VPN over the Wi-Fi) is reported last.
  virtual std::vector<TRasConnection> ActiveConnections(bool withLan) = 0;
  // Asks to be told, from Qt's event loop, whenever the active connections
  // may have changed. A source that cannot tell never calls `changed`: it is
  // asked every second anyway.
  virtual void WatchChanges(std::function<void()> changed) { (void)changed; }
};

}  // namespace vantelo::dialup
