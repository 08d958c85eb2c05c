// The mapped-port relay: for every connection accepted on its port it opens
// one upstream connection to MappedHost:MappedPort and copies bytes both ways,
// unchanged and in order, until either side closes.
//
// Set DefaultPort, MappedHost and MappedPort, then SetActive(true), all on the
// owner's thread; they never change while the relay is active (a new route is
// a new relay). Create it with TOwnedServer<TMappedPortTCP>::Make(); dropping
// that owner closes the listener and every relayed connection, blocking for
// 0.5 s up to about 11 s.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "relay/server/tcp_server.h"

namespace vantelo::relay {

inline constexpr std::size_t kRelayUnitSize = 32768;

// Bytes read from one side and not yet all sent to the other: at most one
// receive's worth per direction, in a buffer reused for the whole connection.
struct TRelayUnit {
  char* data = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
  bool Empty() const { return begin == end; }
};

class TMappedPortTCPData : public TAttachedData {
 public:
  TMappedPortTCPData();
  std::unique_ptr<TTCPClient> UpstreamClient;
  TSocketList WaitList;     // sockets waited on for reading, rebuilt each pass
  TSocketList WriteList;    // sockets waited on for room to send
  TSocketList HangUpList;   // sockets with nothing to do but may fail
  TRelayUnit ToUpstream;
  TRelayUnit ToClient;

 private:
  std::unique_ptr<char[]> buffers_;
};

class TMappedPortTCP : public TTCPServer {
 public:
  using TBeforeClientConnectEvent =
      std::function<void(TMappedPortTCP* sender, TPeerThread* thread, TTCPClient* client)>;

  std::string MappedHost;  // passed on as given: a name, "LOCALHOST" or a dotted address
  int MappedPort = 0;      // only the low 16 bits reach the socket address
  TBeforeClientConnectEvent OnBeforeClientConnect;

  // Connects the upstream side (on the new worker).
  void HandleConnect(TPeerThread& thread) override;
  // One copy pass: waits until either side can move bytes, then moves at most
  // one unit client-to-server, then one server-to-client. A unit that cannot
  // be sent whole stays pending while the other direction goes on.
  bool HandleExecute(TPeerThread& thread) override;
};

}  // namespace vantelo::relay
