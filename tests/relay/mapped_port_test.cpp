// The relay end to end on loopback: what a mail program and an SMTP server at
// either end of a relayed connection see.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/socket.h>
#include <thread>

#include "tests/relay/loopback_peers.h"

using namespace vantelo::testkit;
using namespace std::chrono;

namespace {

// Client and upstream ends of one relayed connection.
struct Pair {
  Fd client;
  Fd upstream;
};

Pair OpenPair(RunningRelay& relay, Listener& upstream) {
  Pair p;
  p.client = ConnectTo(relay.Port());
  p.upstream = upstream.Accept();
  return p;
}

TEST(MappedPortTCP, CopiesSeveralMebibytesEachWayUnchanged) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  ASSERT_TRUE(p.client && p.upstream);

  // Every byte value, NUL and values above 127 included, both ways at once.
  const std::string up = RandomBytes(6 << 20, 1);
  const std::string down = RandomBytes(5 << 20, 2);
  std::string gotUp, gotDown;
  std::thread a([&] { SendAll(p.client.get(), up); });
  std::thread b([&] { SendAll(p.upstream.get(), down); });
  std::thread c([&] { gotUp = ReceiveUpTo(p.upstream.get(), up.size()); });
  gotDown = ReceiveUpTo(p.client.get(), down.size());
  a.join(); b.join(); c.join();
  EXPECT_TRUE(gotUp == up);
  EXPECT_TRUE(gotDown == down);
}

TEST(MappedPortTCP, GreetingOnlyReachesAQuietClient) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  SendAll(p.upstream.get(), "220 mail.example ESMTP\r\n");
  EXPECT_EQ(ReceiveUpTo(p.client.get(), 24), "220 mail.example ESMTP\r\n");
  p.upstream = Fd();
  EXPECT_TRUE(ClosesWithoutBytes(p.client.get()));
}

TEST(MappedPortTCP, BytesSentBeforeTheUpstreamIsAcceptedArriveInOrder) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Fd client = ConnectTo(relay.Port());
  SendAll(client.get(), "EHLO early\r\n");
  SendAll(client.get(), "MAIL FROM:<a@b>\r\n");
  std::this_thread::sleep_for(milliseconds(200));
  Fd server = upstream.Accept();
  EXPECT_EQ(ReceiveUpTo(server.get(), 29), "EHLO early\r\nMAIL FROM:<a@b>\r\n");
}

TEST(MappedPortTCP, UpstreamThatRepliesAndClosesAtOnceIsDeliveredWhole) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  const std::string reply = RandomBytes(300000, 3);  // more than a unit and a socket buffer
  SendAll(p.upstream.get(), reply);
  p.upstream = Fd();
  EXPECT_TRUE(ReceiveAll(p.client.get()) == reply);  // then the close
}

TEST(MappedPortTCP, ClientsLastCommandReachesTheServerBeforeTheClose) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  SendAll(p.client.get(), "QUIT\r\n");
  p.client = Fd();
  EXPECT_EQ(ReceiveAll(p.upstream.get()), "QUIT\r\n");
}

TEST(MappedPortTCP, UnreachableOrUnknownUpstreamClosesTheClientWithoutAByte) {
  int closedPort;
  {
    Listener gone;
    closedPort = gone.Port();
  }
  RunningRelay refused("127.0.0.1", closedPort);
  RunningRelay unknown("no-such-host.invalid", 25);
  Listener upstream;
  RunningRelay working("127.0.0.1", upstream.Port());
  Pair healthy = OpenPair(working, upstream);

  Fd a = ConnectTo(refused.Port());
  Fd b = ConnectTo(unknown.Port());
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(ClosesWithoutBytes(a.get()));
  EXPECT_TRUE(ClosesWithoutBytes(b.get()));

  SendAll(healthy.client.get(), "still here");
  EXPECT_EQ(ReceiveUpTo(healthy.upstream.get(), 10), "still here");
}

TEST(MappedPortTCP, MappedPortAboveTheLastPortWrapsToItsLow16Bits) {
  Listener upstream;
  RunningRelay relay("LocalHost", upstream.Port() + 65536);
  Pair p = OpenPair(relay, upstream);
  ASSERT_TRUE(p.upstream);
  SendAll(p.client.get(), "x");
  EXPECT_EQ(ReceiveUpTo(p.upstream.get(), 1), "x");
}

TEST(MappedPortTCP, TwentyClientsAtOnceAreIndependent) {
  EchoServer echo;
  RunningRelay relay("127.0.0.1", echo.Port());
  std::vector<Fd> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(ConnectTo(relay.Port()));
  for (int i = 0; i < 20; ++i) SendAll(clients[i].get(), "client " + std::to_string(100 + i));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(ReceiveUpTo(clients[i].get(), 10), "client " + std::to_string(100 + i));
  }
  EXPECT_EQ(relay.relay->WorkerCount(), 20u);
  EXPECT_EQ(echo.Accepted(), 20);
}

TEST(MappedPortTCP, PeersWritingAtOnceNeverStall) {
  // The upstream reads a 16 MiB batch, then writes it all back without
  // reading, while the client keeps sending: neither reads while it writes.
  constexpr std::size_t kBatch = 16 << 20;
  EchoServer echo(kBatch);
  RunningRelay relay("127.0.0.1", echo.Port());
  Fd client = ConnectTo(relay.Port(), 30000);
  const std::string data = RandomBytes(3 * kBatch, 4);
  std::string back;
  std::thread reader([&] { back = ReceiveUpTo(client.get(), data.size()); });
  SendAll(client.get(), data);
  reader.join();
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
}

TEST(MappedPortTCP, DestroyingClosesEveryClientAndUpstreamWithinItsBounds) {
  Listener upstream;
  auto relay = std::make_unique<RunningRelay>("127.0.0.1", upstream.Port());
  std::vector<Pair> pairs;
  for (int i = 0; i < 5; ++i) pairs.push_back(OpenPair(*relay, upstream));
  // One client that never reads while the server floods it: its worker is
  // blocked on a full send buffer when the relay goes.
  const int flooder = pairs[0].upstream.get();
  std::thread flood([flooder] {
    try { SendAll(flooder, RandomBytes(8 << 20, 5)); } catch (...) {}
  });
  std::this_thread::sleep_for(milliseconds(200));

  auto start = steady_clock::now();
  relay.reset();
  auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_GE(took, 450);
  EXPECT_LT(took, 3000);  // every worker ends on the first wake
  shutdown(flooder, SHUT_RDWR);  // ends the flood
  flood.join();
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_TRUE(SeesEnd(pairs[i].client.get())) << "client " << i;
    if (i > 0) {
      EXPECT_TRUE(SeesEnd(pairs[i].upstream.get())) << "upstream " << i;
    }
  }
}

}  // namespace
