// Many relayed connections: at once and one after another, with nothing left
// behind. (A burst into the accept queue: tcp_server_test.)
#include <gtest/gtest.h>

#include <thread>

#include "tests/testkit/loopback_peers.h"

using namespace vantelo::testkit;

namespace {

// Opens `count` connections through `relay`, then checks that each carries
// its own bytes there and back.
void ExpectIndependentEchoes(int relayPort, int count, std::size_t bytesEach) {
  std::vector<Fd> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(ConnectTo(relayPort));
    ASSERT_TRUE(clients.back()) << "connection " << i;
  }
  std::vector<std::string> sent;
  for (int i = 0; i < count; ++i) sent.push_back(RandomBytes(bytesEach, 1000 + i));
  std::vector<std::thread> writers;
  for (int i = 0; i < count; ++i) {
    writers.emplace_back([&, i] { SendAll(clients[i].get(), sent[i]); });
  }
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(ReceiveUpTo(clients[i].get(), bytesEach) == sent[i]) << "connection " << i;
  }
  for (auto& w : writers) w.join();
}

TEST(RelayStress, TwoHundredConnectionsAtOnceStayByteExact) {
  EchoServer echo;
  RunningRelay relay("127.0.0.1", echo.Port());
  ExpectIndependentEchoes(relay.Port(), 200, 64 * 1024);
}

TEST(RelayStress, NoDescriptorOrThreadOutlivesAThousandConnections) {
  const int fdsBefore = CountOpenDescriptors();
  const int threadsBefore = CountThreads();
  {
    EchoServer echo;
    RunningRelay relay("127.0.0.1", echo.Port());
    for (int i = 0; i < 1000; ++i) {
      Fd c = ConnectTo(relay.Port());
      SendAll(c.get(), "ping");
      ASSERT_EQ(ReceiveUpTo(c.get(), 4), "ping");
      if (i % 2) Reset(c);  // half end with a reset, half with a close
    }
    // A few are still open when the relay goes.
    std::vector<Fd> open;
    for (int i = 0; i < 5; ++i) open.push_back(ConnectTo(relay.Port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    relay.relay.reset();
  }
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threadsBefore; }))
      << CountThreads() << " threads, " << threadsBefore << " before";
  EXPECT_EQ(CountOpenDescriptors(), fdsBefore);
}

}  // namespace
