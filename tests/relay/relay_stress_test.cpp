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

// A count once what earlier tests left has gone: their relays' threads are
// detached and may still be ending, so it waits until the count holds for
// 200 ms (5 s at most). Those can only lower the count after this, so the
// checks below ask for no more than this, never for exactly this.
int Settled(int (*count)()) {
  int last = count();
  for (int steady = 0, i = 0; steady < 20 && i < 500; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int now = count();
    steady = now == last ? steady + 1 : 0;
    last = now;
  }
  return last;
}

TEST(RelayStress, NoDescriptorOrThreadOutlivesAThousandConnections) {
  const int fdsBefore = Settled(&CountOpenDescriptors);
  const int threadsBefore = Settled(&CountThreads);
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
  EXPECT_TRUE(Eventually([&] { return CountThreads() <= threadsBefore; }))
      << CountThreads() << " threads, " << threadsBefore << " before";
  EXPECT_TRUE(Eventually([&] { return CountOpenDescriptors() <= fdsBefore; }))
      << CountOpenDescriptors() << " descriptors, " << fdsBefore << " before";
}

}  // namespace
