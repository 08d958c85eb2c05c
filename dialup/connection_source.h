// Where the dial-up monitor learns about entries and connections. Each source
// reports what it finds; a source that is not there reports nothing, at once
// and without a message. GUI thread only.
#pragma once

#include <cstdint>
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
};

class TConnectionSource {
 public:
  virtual ~TConnectionSource() = default;
  // Dial-up-like connection profiles, in the source's order.
  virtual std::vector<std::string> Entries() = 0;
  // Active dial-up-like connections, in the source's order.
  virtual std::vector<TRasConnection> ActiveConnections() = 0;
};

// Classic dial-up through pppd: the peers in `peersDir`, running pppd
// processes found in `procDir`, their interfaces through the pid files in
// `runDir` and the interface flags in `netDir`.
class TPppdSource : public TConnectionSource {
 public:
  explicit TPppdSource(std::string peersDir = "/etc/ppp/peers", std::string procDir = "/proc",
                       std::string runDir = "/run", std::string netDir = "/sys/class/net");
  std::vector<std::string> Entries() override;
  std::vector<TRasConnection> ActiveConnections() override;

 private:
  std::string InterfaceOf(int pid, const std::string& linkname) const;
  bool InterfaceRunning(const std::string& name) const;
  std::string peersDir_, procDir_, runDir_, netDir_;
};

}  // namespace vantelo::dialup
