// Classic dial-up through pppd: the peers in /etc/ppp/peers are the entries;
// every running pppd process is an active connection, connected once its ppp
// interface is up and running. A pppd that NetworkManager started for one of
// its own connections (it carries NetworkManager's pppd plugin) is
// NetworkManager's to report, not this source's.
//
// The four places it reads are given at construction, so tests never read
// the machine's. A peers folder that is there but cannot be read is logged
// (vantelo.dialup) when that starts and when it clears. GUI thread only.
#pragma once

#include "dialup/connection_source.h"

namespace vantelo::dialup {

struct TPppdPaths {
  std::string peers = "/etc/ppp/peers";  // one file per peer
  std::string proc = "/proc";            // PID/cmdline of running processes
  std::string run = "/run";              // pppd's pid files
  std::string net = "/sys/class/net";    // INTERFACE/flags
};

class TPppdSource : public TConnectionSource {
 public:
  explicit TPppdSource(TPppdPaths paths = {});
  std::vector<std::string> Entries() override;
  std::vector<TRasConnection> ActiveConnections(bool withLan) override;

 private:
  std::string InterfaceOf(int pid, const std::string& linkname) const;
  bool InterfaceRunning(const std::string& name) const;
  TPppdPaths paths_;
  std::string peersProblem_;  // why the peers folder could not be read last, logged
};

}  // namespace vantelo::dialup
