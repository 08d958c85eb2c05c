// The threaded server: activation, the listener's resilience, and the
// bounded stop.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/socket.h>

#include "relay/socket/net_exceptions.h"
#include "tests/relay/loopback_peers.h"

using namespace vantelo::relay;
using namespace vantelo::testkit;
using namespace std::chrono;

namespace {

long long MillisecondsToDestroy(TOwnedServer<TMappedPortTCP>& server) {
  auto start = steady_clock::now();
  server.reset();
  return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

TEST(TCPServer, TakenPortFailsWithTheBindMessageAndStaysInactive) {
  Listener taken;
  auto server = TOwnedServer<TMappedPortTCP>::Make();
  server->Bindings.Add().IP = "127.0.0.1";
  server->Bindings[0].Port = taken.Port();
  try {
    server->SetActive(true);
    FAIL() << "bound a port that is in use";
  } catch (const ECouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(server->Active());
}

TEST(TCPServer, DefaultPortZeroListensOnAPortTheSystemChose) {
  auto server = TOwnedServer<TMappedPortTCP>::Make();
  server->SetDefaultPort(0);
  server->SetActive(true);
  ASSERT_EQ(server->Bindings.Count(), 1u);
  EXPECT_GT(server->Bindings[0].Port, 0);
  EXPECT_TRUE(server->Active());
  EXPECT_TRUE(ConnectTo(server->Bindings[0].Port));
}

TEST(TCPServer, SettingActiveToItsValueDoesNothing) {
  RunningRelay relay("127.0.0.1", 1);
  int port = relay.Port();
  relay.relay->SetActive(true);  // no second bind, which would fail
  EXPECT_TRUE(relay.relay->Active());
  EXPECT_EQ(relay.Port(), port);

  auto idle = TOwnedServer<TMappedPortTCP>::Make();
  idle->SetActive(false);
  EXPECT_FALSE(idle->Active());
}

TEST(TCPServer, DestroyingTakesItsStopChecksButNoMore) {
  auto idle = TOwnedServer<TMappedPortTCP>::Make();
  long long inactive = MillisecondsToDestroy(idle);
  EXPECT_GE(inactive, 240);
  EXPECT_LT(inactive, 1000);

  RunningRelay relay("127.0.0.1", 1);
  long long active = MillisecondsToDestroy(relay.relay);
  EXPECT_GE(active, 490);
  EXPECT_LT(active, 1500);  // the listener is woken, not waited out
}

TEST(TCPServer, ClientsThatResetBeforeTheAcceptDoNotStopTheListener) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  for (int i = 0; i < 100; ++i) {
    Fd c = ConnectTo(relay.Port());
    Reset(c);
  }
  Fd client = ConnectTo(relay.Port());
  Fd server;
  // The reset connections may reach the upstream first; find ours by its bytes.
  SendAll(client.get(), "alive");
  std::string got;
  for (int i = 0; i < 200 && got != "alive"; ++i) {
    server = upstream.Accept();
    ASSERT_TRUE(server) << "listener stopped accepting";
    got = ReceiveUpTo(server.get(), 5);
  }
  EXPECT_EQ(got, "alive");
  EXPECT_TRUE(relay.relay->Active());
}

TEST(TCPServer, ServerWithoutExecuteHandlerEndsEachWorker) {
  auto server = std::make_shared<TTCPServer>();
  TOwnedServer<TTCPServer> owned(server);
  server->Bindings.Add().IP = "127.0.0.1";
  server->SetActive(true);
  Fd client = ConnectTo(server->Bindings[0].Port);
  EXPECT_TRUE(ClosesWithoutBytes(client.get()));
  EXPECT_TRUE(Eventually([&] { return server->WorkerCount() == 0; }));
}

TEST(TCPServer, SharedThreadManagerServesTwoRelaysAndForgetsEveryThread) {
  auto manager = std::make_shared<TThreadMgrDefault>();
  EchoServer echo;
  {
    auto first = TOwnedServer<TMappedPortTCP>::Make();
    auto second = TOwnedServer<TMappedPortTCP>::Make();
    for (auto* relay : {first.get(), second.get()}) {
      relay->ThreadMgr = manager;
      relay->Bindings.Add().IP = "127.0.0.1";
      relay->MappedHost = "127.0.0.1";
      relay->MappedPort = echo.Port();
      relay->SetActive(true);
    }
    Fd a = ConnectTo(first->Bindings[0].Port);
    Fd b = ConnectTo(second->Bindings[0].Port);
    SendAll(a.get(), "one");
    SendAll(b.get(), "two");
    EXPECT_EQ(ReceiveUpTo(a.get(), 3), "one");
    EXPECT_EQ(ReceiveUpTo(b.get(), 3), "two");
    EXPECT_EQ(manager->LiveThreadCount(), 2u);
  }
  EXPECT_EQ(manager->LiveThreadCount(), 0u);
}

}  // namespace
