// The relay end to end on loopback: what a mail program and an SMTP server at
// either end of a relayed connection see.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

#include "tests/testkit/loopback_peers.h"
#include "tests/testkit/injected_faults.h"
#include "tests/testkit/relay_log_capture.h"

using namespace vantelo::relay;
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
  a.join();
  b.join();
  c.join();
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

TEST(MappedPortTCP, UnreachableOrUnknownUpstreamAnswers421ThenClosesInOrder) {
  int closedPort;
  {
    Listener gone;
    closedPort = gone.Port();
  }
  RelayLogCapture log;
  RunningRelay refused("127.0.0.1", closedPort);
  RunningRelay unknown("no-such-host.invalid", 25);
  Listener upstream;
  RunningRelay working("127.0.0.1", upstream.Port());
  Pair healthy = OpenPair(working, upstream);

  // A host name is logged as it is, but it cannot forge a line.
  RunningRelay forged("no-such-host.invalid\nvantelo.route: mail now goes to evil\x1b[2J", 25);

  // Black-holed: the upstream's accept queue is full, so the system drops the
  // relay's connection requests as a firewall that drops packets would. Every
  // route, secure or not, gives up after its connect time.
  Listener full("127.0.0.1", 0);
  Fd filler = ConnectTo(full.Port());
  ASSERT_TRUE(Eventually([&] { return full.Waiting() == 1; }));
  const auto shortConnect = [](TMappedPortTCP& r) { r.ConnectTime = 300; };
  RunningRelay blackHoled("127.0.0.1", full.Port(), shortConnect);
  RunningRelay blackHoledSecure("smtps://127.0.0.1", full.Port(), shortConnect);

  Fd a = ConnectTo(refused.Port());
  Fd b = ConnectTo(unknown.Port());
  Fd c = ConnectTo(forged.Port());
  ASSERT_TRUE(a && b && c);
  // One reply in Linux's words, then the end (no reset).
  EXPECT_EQ(ReceiveAll(a.get()), "421 4.4.0 127.0.0.1:" + std::to_string(closedPort) +
                                     " cannot be reached: connection refused\r\n");
  EXPECT_EQ(ReceiveAll(b.get()),
            "421 4.4.0 no-such-host.invalid:25 cannot be reached: name or service not known\r\n");
  // Nor a reply: the mail program reads one line.
  EXPECT_EQ(ReceiveAll(c.get()),
            "421 4.4.0 no-such-host.invalid\\nvantelo.route: mail now goes to evil\\x1b[2J:25 "
            "cannot be reached: name or service not known\r\n");

  const std::string fullPort = std::to_string(full.Port());
  Fd d = ConnectTo(blackHoled.Port());
  Fd e = ConnectTo(blackHoledSecure.Port());
  EXPECT_EQ(ReceiveAll(d.get()), "421 4.4.0 127.0.0.1:" + fullPort +
                                     " cannot be reached: connection timed out after 300 ms\r\n");
  EXPECT_EQ(ReceiveAll(e.get()), "421 4.7.0 No secure connection to 127.0.0.1:" + fullPort +
                                     ": connection timed out after 300 ms\r\n");

  SendAll(healthy.client.get(), "still here");
  EXPECT_EQ(ReceiveUpTo(healthy.upstream.get(), 10), "still here");

  // One warning each, naming the upstream server and the cause as the
  // system does.
  const std::string refusedLine = ": connect to 127.0.0.1:" + std::to_string(closedPort) +
                                  " failed: connection refused (ECONNREFUSED)";
  const std::string unknownLine =
      ": connect to no-such-host.invalid:25 failed: name or service not known";
  const auto warning = TRelayLogLevel::Warning;
  EXPECT_TRUE(Eventually([&] { return log.LinesWith({refusedLine}, warning).size() == 1; }));
  EXPECT_TRUE(Eventually([&] { return log.LinesWith({unknownLine}, warning).size() == 1; }));
  EXPECT_EQ(log.LinesWith({refusedLine, "relayed connection from 127.0.0.1:"}).size(), 1u);
  const std::string forgedLine =
      ": connect to no-such-host.invalid\\nvantelo.route: mail now goes to evil\\x1b[2J:25 "
      "failed: name or service not known";
  EXPECT_TRUE(Eventually([&] { return log.LinesWith({forgedLine}, warning).size() == 1; }));
  const std::string timedOutLine =
      ": connect to 127.0.0.1:" + fullPort + " failed: no answer within 300 ms (ETIMEDOUT)";
  EXPECT_TRUE(Eventually([&] { return log.LinesWith({timedOutLine}, warning).size() == 1; }));
}

// 300 clients at once meet a server that refuses: a few lines, which count
// every one of them.
TEST(MappedPortTCP, ABurstOfTheSameFailureIsSummedUp) {
  constexpr int kClients = 300;
  std::string why;
  if (!EnsureDescriptors(2 * kClients + 100, why)) GTEST_SKIP() << why;
  int closedPort;
  {
    Listener gone;
    closedPort = gone.Port();
  }
  RelayLogCapture log;
  RunningRelay relay("127.0.0.1", closedPort);
  const auto start = steady_clock::now();
  std::vector<Fd> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(ConnectTo(relay.Port()));
  for (Fd& client : clients) EXPECT_EQ(ReceiveAll(client.get()).rfind("421 4.4.0 ", 0), 0u);
  const long long took = MillisecondsSince(start);
  relay.relay.reset();  // what is still counted is written as the relay ends
  const std::string refused = "failed: connection refused (ECONNREFUSED)";
  const std::vector<std::string> lines = log.LinesWith({refused}, TRelayLogLevel::Warning);
  // One at once, at most one a second after it, one when the relay ends.
  EXPECT_LE(lines.size(), static_cast<std::size_t>(took / 1000 + 3)) << lines.size();
  EXPECT_EQ(CountedLines(lines, refused), kClients);
}

TEST(MappedPortTCP, DottedAddressPartsWithLeadingZerosAreDecimal) {
  // Read as octal, 0010 would be 8: the relay would try 127.0.0.8.
  Listener upstream("127.0.0.10");
  RunningRelay relay("127.0.0.0010", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  ASSERT_TRUE(p.upstream) << "the relay did not reach 127.0.0.10";
  SendAll(p.client.get(), "decimal");
  EXPECT_EQ(ReceiveUpTo(p.upstream.get(), 7), "decimal");
}

TEST(MappedPortTCP, NameWithIPv4AddressesUsesTheFirstOne) {
  Listener upstream;
  InjectedFaults::Get().SetName("mail.vantelo.test", {"127.0.0.1", "127.0.0.2"}, {"::1"});
  RunningRelay relay("mail.vantelo.test", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  ASSERT_TRUE(p.upstream);
  SendAll(p.client.get(), "by name");
  EXPECT_EQ(ReceiveUpTo(p.upstream.get(), 7), "by name");
  InjectedFaults::Get().ClearNames();
}

TEST(MappedPortTCP, IPv6UpstreamsByLiteralAndByNameWithOnlyIPv6Addresses) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
  InjectedFaults::Get().SetName("six.vantelo.test", {}, {"::1", "2001:db8::25"});
  for (const char* host : {"::1", "[::1]", "six.vantelo.test"}) {
    Listener upstream("::1");
    RunningRelay relay(host, upstream.Port());
    Pair p = OpenPair(relay, upstream);
    ASSERT_TRUE(p.upstream) << host;
    SendAll(p.client.get(), "over six");
    EXPECT_EQ(ReceiveUpTo(p.upstream.get(), 8), "over six") << host;
    SendAll(p.upstream.get(), "and back");
    EXPECT_EQ(ReceiveUpTo(p.client.get(), 8), "and back") << host;
  }
  InjectedFaults::Get().ClearNames();
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
  const std::string data = RandomBytes(8 << 20, 5);
  std::thread flood([flooder, &data] {
    try {
      SendAll(flooder, data);
    } catch (...) {
    }
  });
  std::this_thread::sleep_for(milliseconds(200));

  auto start = steady_clock::now();
  relay.reset();
  auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_LT(took, 3000);         // every worker ends on the first wake
  shutdown(flooder, SHUT_RDWR);  // ends the flood
  flood.join();
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_TRUE(SeesEnd(pairs[i].client.get())) << "client " << i;
    if (i > 0) {
      EXPECT_TRUE(SeesEnd(pairs[i].upstream.get())) << "upstream " << i;
    }
  }
}

// ---- the end of a relayed connection --------------------------------------

// How a receiver saw the end of its stream.
enum class End { Orderly, Reset, TimedOut };

End ReadToEnd(int fd, std::string* received = nullptr) {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      if (received) received->append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return End::Orderly;
    return errno == ECONNRESET ? End::Reset : End::TimedOut;
  }
}

constexpr std::size_t kFourMiB = 4 << 20;

// Runs `body` on a thread of its own; a failed send there fails the test
// instead of ending the program.
std::thread Peer(std::function<void()> body) {
  return std::thread([body = std::move(body)] {
    try {
      body();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "peer: " << e.what();
    }
  });
}

TEST(MappedPortTCP, ClientsLastBytesReachASlowUpstreamAfterTheClientHasClosed) {
  // A small receive buffer at the upstream: the relay still holds much of
  // the client's stream when the client has gone.
  Listener upstream{"127.0.0.1", SOMAXCONN, 4096};
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  const std::string data = RandomBytes(kFourMiB, 6) + "QUIT\r\n";
  std::thread client = Peer([&] {
    SendAll(p.client.get(), data);
    // A full close right after the last command, once the relay's system
    // has every byte (what the client's own system still held would be lost
    // to the reset it answers the upstream's replies with).
    EXPECT_TRUE(CloseOnceAcknowledged(p.client));
  });
  // The upstream is slow to read, and answers as it goes, as an SMTP server
  // does; its answers reach a relay whose client has already gone.
  std::this_thread::sleep_for(milliseconds(300));
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = recv(p.upstream.get(), buf, sizeof buf, 0)) > 0) {
    got.append(buf, static_cast<std::size_t>(n));
    if (got.size() / (1 << 20) != (got.size() - n) / (1 << 20)) {
      send(p.upstream.get(), "250 more\r\n", 10, MSG_NOSIGNAL);
    }
  }
  EXPECT_EQ(n, 0) << "the upstream's stream ended with: " << strerror(errno);
  client.join();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

TEST(MappedPortTCP, ClientThatEndsItsSendingStillGetsTheWholeReply) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  const std::string request = RandomBytes(kFourMiB, 7);
  const std::string reply = RandomBytes(kFourMiB, 8);
  std::thread server = Peer([&] {
    std::string got;
    EXPECT_EQ(ReadToEnd(p.upstream.get(), &got), End::Orderly);  // the end was passed on
    EXPECT_TRUE(got == request);
    SendAll(p.upstream.get(), reply);
    p.upstream = Fd();
  });
  SendAll(p.client.get(), request);
  shutdown(p.client.get(), SHUT_WR);
  // A slow reader: the server's end arrives while the relay still holds
  // bytes for the client.
  std::this_thread::sleep_for(milliseconds(300));
  std::string back;
  EXPECT_EQ(ReadToEnd(p.client.get(), &back), End::Orderly);
  server.join();
  EXPECT_EQ(back.size(), reply.size());
  EXPECT_TRUE(back == reply);
}

TEST(MappedPortTCP, UpstreamThatEndsFirstStillGetsEverythingTheClientSends) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  const std::string down = RandomBytes(kFourMiB, 9);
  const std::string up = RandomBytes(kFourMiB, 10);
  std::string gotUp;
  std::thread server = Peer([&] {
    // A slow reader: the client's end arrives while the relay still holds
    // bytes for the server.
    std::thread reader([&] {
      std::this_thread::sleep_for(milliseconds(300));
      EXPECT_EQ(ReadToEnd(p.upstream.get(), &gotUp), End::Orderly);
    });
    SendAll(p.upstream.get(), down);
    shutdown(p.upstream.get(), SHUT_WR);  // done sending, still reading
    reader.join();
  });
  std::thread client = Peer([&] {
    SendAll(p.client.get(), up);  // keeps sending after the server's end
    shutdown(p.client.get(), SHUT_WR);
  });
  std::string gotDown;
  EXPECT_EQ(ReadToEnd(p.client.get(), &gotDown), End::Orderly);
  client.join();
  server.join();
  EXPECT_EQ(gotDown.size(), down.size());
  EXPECT_TRUE(gotDown == down);
  EXPECT_EQ(gotUp.size(), up.size());
  EXPECT_TRUE(gotUp == up);
}

// A relayed connection whose server has ended, whose client has sent its last
// bytes and its end, and whose relay still holds some of those bytes because
// the server reads nothing. Both relay sockets are then shut both ways as far
// as their kernel is concerned. The relay's send buffer towards the server
// and the server's receive buffer are made tiny, so that 64 KiB are enough
// however fast the relay reads.
struct BothEndedBytesWaiting {
  Listener upstream{"127.0.0.1", SOMAXCONN, 4096};
  std::unique_ptr<RunningRelay> relay =
      std::make_unique<RunningRelay>("127.0.0.1", upstream.Port(), [](TMappedPortTCP& r) {
        r.OnBeforeClientConnect = [](TMappedPortTCP*, TPeerThread*, TTCPClient* client) {
          client->OnConnected = [](TTCPClient* c) {
            int small = 4096;
            setsockopt(c->SocketBinding.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small,
                       sizeof small);
          };
        };
      });
  Pair p = OpenPair(*relay, upstream);
  const std::string data = RandomBytes(64 << 10, 15);

  bool Reach() {
    SendAll(p.upstream.get(), "221 bye\r\n");
    shutdown(p.upstream.get(), SHUT_WR);
    if (ReceiveUpTo(p.client.get(), 9) != "221 bye\r\n" || !ClosesWithoutBytes(p.client.get())) {
      return false;
    }
    SendAll(p.client.get(), data);
    shutdown(p.client.get(), SHUT_WR);
    // Every byte and the end are with the relay's system once the client's
    // queue is empty.
    bool queued = Eventually([&] { return UnacknowledgedBytes(p.client.get()) == 0; }, 3000);
    std::this_thread::sleep_for(milliseconds(100));
    return queued;
  }
};

TEST(MappedPortTCP, ClientsEndArrivingBeforeASlowServerReadsIsNoReset) {
  BothEndedBytesWaiting c;
  ASSERT_TRUE(c.Reach()) << "the relay's system did not take the client's bytes";
  std::string got;
  EXPECT_EQ(ReadToEnd(c.p.upstream.get(), &got), End::Orderly);
  EXPECT_EQ(got.size(), c.data.size());
  EXPECT_TRUE(got == c.data);
}

TEST(MappedPortTCP, ClientGoneBeforeTheServersReplyStillHasItsLastBytesDelivered) {
  // The client closes once its last bytes are with the relay's system, which
  // still holds them for a slow server. The server's replies then find the
  // client gone (its system answers them with a reset), which must not cost
  // the server the client's last bytes.
  BothEndedBytesWaiting c;
  SendAll(c.p.client.get(), c.data);
  ASSERT_TRUE(CloseOnceAcknowledged(c.p.client));
  for (int i = 0; i < 3; ++i) {
    SendAll(c.p.upstream.get(), "250 ok\r\n");
    std::this_thread::sleep_for(milliseconds(100));
  }
  std::string got;
  EXPECT_EQ(ReadToEnd(c.p.upstream.get(), &got), End::Orderly);
  EXPECT_EQ(got.size(), c.data.size());
  EXPECT_TRUE(got == c.data);
}

TEST(MappedPortTCP, DestroyingWhileBothSidesHaveEndedAndBytesWaitIsStillBounded) {
  BothEndedBytesWaiting c;
  ASSERT_TRUE(c.Reach()) << "the relay's system did not take the client's bytes";
  auto start = steady_clock::now();
  c.relay.reset();
  EXPECT_LT(MillisecondsSince(start), 1500);
}

TEST(MappedPortTCP, UpstreamResetGivesTheClientAnOrderlyClose) {
  RelayLogCapture log;
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  // The client is still sending when the upstream resets: the relay holds
  // bytes from it that nobody will read.
  const int client = p.client.get();
  const std::string data = RandomBytes(8 << 20, 11);
  std::atomic<bool> sentAll{false};
  std::thread sender([&] {
    try {
      SendAll(client, data);
      sentAll = true;
    } catch (...) {
    }
  });
  std::this_thread::sleep_for(milliseconds(200));
  Reset(p.upstream);
  EXPECT_EQ(ReadToEnd(client), End::Orderly);
  sender.join();
  // The relay took (and dropped) what the client still sent until the client
  // ended, rather than refusing it with a reset.
  EXPECT_TRUE(sentAll);
  shutdown(client, SHUT_WR);
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length);
  EXPECT_EQ(error, 0) << strerror(error);
  // A reset in the middle of a session is logged, with the side that reset.
  const std::string to = " to 127.0.0.1:" + std::to_string(upstream.Port());
  EXPECT_EQ(log.LinesWith({"relayed connection from 127.0.0.1:",
                           to + " ended by the server: connection reset by peer (ECONNRESET)"},
                          TRelayLogLevel::Info)
                .size(),
            1u);
  Pair q = OpenPair(relay, upstream);
  SendAll(q.client.get(), "EHLO a\r\n");
  EXPECT_EQ(ReceiveUpTo(q.upstream.get(), 8), "EHLO a\r\n");
  Reset(q.client);
  EXPECT_TRUE(SeesEnd(q.upstream.get()));
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  EXPECT_EQ(
      log.LinesWith({to + " ended by the mail program: connection reset by peer (ECONNRESET)"},
                    TRelayLogLevel::Info)
          .size(),
      1u);
}

// How sessions that delivered their mail end: none of these is a failure,
// so the log shows nothing by default (each end is there at Debug).
TEST(MappedPortTCP, SessionsThatEndInOrderLogNothingByDefault) {
  RelayLogCapture log;
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  const std::string bye = "221 2.0.0 Bye\r\n";
  auto ended = [&] { return Eventually([&] { return relay.relay->WorkerCount() == 0; }); };
  {
    // The client sends QUIT and leaves at once: the reply finds it gone.
    Pair p = OpenPair(relay, upstream);
    SendAll(p.client.get(), "QUIT\r\n");
    p.client = Fd();
    EXPECT_EQ(ReceiveAll(p.upstream.get()), "QUIT\r\n");
    SendAll(p.upstream.get(), bye);
    std::this_thread::sleep_for(milliseconds(100));  // the client's reset is back
    SendAll(p.upstream.get(), bye);
  }
  ASSERT_TRUE(ended());
  {
    // The server says goodbye and closes; the client leaves without reading
    // it, which is a reset.
    Pair p = OpenPair(relay, upstream);
    SendAll(p.upstream.get(), bye);
    p.upstream = Fd();
    pollfd end{p.client.get(), POLLRDHUP, 0};
    ASSERT_EQ(poll(&end, 1, 5000), 1);
  }
  ASSERT_TRUE(ended());
  {
    // Both end their sending in turn.
    Pair p = OpenPair(relay, upstream);
    SendAll(p.client.get(), "QUIT\r\n");
    shutdown(p.client.get(), SHUT_WR);
    EXPECT_EQ(ReceiveAll(p.upstream.get()), "QUIT\r\n");
    SendAll(p.upstream.get(), bye);
    p.upstream = Fd();
    std::string got;
    EXPECT_EQ(ReadToEnd(p.client.get(), &got), End::Orderly);
    EXPECT_EQ(got, bye);
  }
  ASSERT_TRUE(ended());
  EXPECT_TRUE(log.Shown().empty()) << log.Shown().front();
  EXPECT_EQ(log.LinesWith({"relayed connection from 127.0.0.1:", " ended as it closed: "}).size(),
            2u);
}

// 300 clients that connect and leave at once, before the server greets
// them: each relayed connection ends in order, and the log stays quiet.
TEST(MappedPortTCP, ABurstOfClientsThatLeaveAtOnceLogsNothingByDefault) {
  constexpr int kClients = 300;
  std::string why;
  if (!EnsureDescriptors(4 * kClients + 100, why)) GTEST_SKIP() << why;
  RelayLogCapture log;
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  std::vector<Fd> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(ConnectTo(relay.Port()));
  std::vector<Fd> servers;
  for (int i = 0; i < kClients; ++i) servers.push_back(upstream.Accept());
  clients.clear();
  for (Fd& server : servers) {
    ASSERT_TRUE(server);
    SendAll(server.get(), "220 mail.example ESMTP\r\n");
  }
  servers.clear();
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }, 20000));
  const std::vector<std::string> shown = log.Shown();
  EXPECT_TRUE(shown.empty()) << shown.size() << " lines, the first: " << shown.front();
}

TEST(MappedPortTCP, HalfClosedConnectionEndsOnlyWhenNothingMovesForItsIdleTime) {
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port(), [](TMappedPortTCP& r) {
    r.HalfClosedIdleTime = 300;
    r.LingerTime = 300;
  });

  // Still moving: the upstream answers a byte every 100 ms for a second after
  // the client ended its sending; every byte arrives.
  {
    Pair p = OpenPair(relay, upstream);
    shutdown(p.client.get(), SHUT_WR);
    EXPECT_EQ(ReadToEnd(p.upstream.get()), End::Orderly);
    std::thread drip = Peer([&] {
      for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
        SendAll(p.upstream.get(), std::string(1, static_cast<char>('0' + i)));
      }
      p.upstream = Fd();
    });
    std::string got;
    EXPECT_EQ(ReadToEnd(p.client.get(), &got), End::Orderly);
    drip.join();
    EXPECT_EQ(got, "0123456789");
  }

  // Silent: the client ended, the upstream neither answers nor closes, and
  // neither peer ever closes its socket. The relay gives up after its idle
  // time, and its lingering close after its own bound.
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  Pair p = OpenPair(relay, upstream);
  shutdown(p.client.get(), SHUT_WR);
  auto start = steady_clock::now();
  EXPECT_EQ(ReadToEnd(p.upstream.get()), End::Orderly);
  EXPECT_EQ(ReadToEnd(p.client.get()), End::Orderly);
  EXPECT_GE(MillisecondsSince(start), 250);
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }, 3000));
  EXPECT_LT(MillisecondsSince(start), 2500);
}

TEST(MappedPortTCP, DestroyingAbandonsAConnectStillWaitingForTheUpstream) {
  // An upstream whose accept queue is full: the relay's connect waits.
  Listener full("127.0.0.1", 0);
  Fd filler = ConnectTo(full.Port());
  auto relay = std::make_unique<RunningRelay>("127.0.0.1", full.Port());
  Fd client = ConnectTo(relay->Port());
  std::this_thread::sleep_for(milliseconds(200));
  auto start = steady_clock::now();
  relay.reset();
  EXPECT_LT(MillisecondsSince(start), 1500);
  EXPECT_TRUE(SeesEnd(client.get()));
}

TEST(MappedPortTCP, AClientThatLeavesDuringTheConnectIsNoFailureOfTheServer) {
  RelayLogCapture log;
  Listener full("127.0.0.1", 0);
  Fd filler = ConnectTo(full.Port());
  RunningRelay relay("127.0.0.1", full.Port());
  Fd client = ConnectTo(relay.Port());
  std::this_thread::sleep_for(milliseconds(200));  // the relay's connect waits
  Reset(client);
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  EXPECT_EQ(log.LinesWith({"relayed connection from 127.0.0.1:",
                           ": the client left before 127.0.0.1:" + std::to_string(full.Port()) +
                               " answered"},
                          TRelayLogLevel::Info)
                .size(),
            1u);
  EXPECT_TRUE(log.Lines(TRelayLogLevel::Warning).empty()) << log.Lines().front();
}

TEST(MappedPortTCP, DestroyingDoesNotWaitForAnUpstreamThatDoesNotRead) {
  Listener upstream;
  auto relay = std::make_unique<RunningRelay>("127.0.0.1", upstream.Port());
  Pair p = OpenPair(*relay, upstream);
  // The upstream never reads: the relay holds a unit for it and has nothing
  // to do on the client's side but watch it.
  const int client = p.client.get();
  const std::string data = RandomBytes(32 << 20, 12);
  std::thread flood([client, &data] {
    try {
      SendAll(client, data);
    } catch (...) {
    }
  });
  std::this_thread::sleep_for(milliseconds(300));
  auto start = steady_clock::now();
  relay.reset();
  EXPECT_LT(MillisecondsSince(start), 1500);
  shutdown(client, SHUT_RDWR);
  flood.join();
  EXPECT_TRUE(SeesEnd(p.upstream.get()));
}

TEST(MappedPortTCP, DestroyingDoesNotWaitOutALingeringClose) {
  Listener upstream;
  auto relay = std::make_unique<RunningRelay>("127.0.0.1", upstream.Port());
  Pair p = OpenPair(*relay, upstream);
  // The client resets: its side closes at once, and the relay lingers on the
  // upstream side, which never ends.
  Reset(p.client);
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_EQ(relay->relay->WorkerCount(), 1u);
  auto start = steady_clock::now();
  relay.reset();
  EXPECT_LT(MillisecondsSince(start), 1200);
  EXPECT_TRUE(SeesEnd(p.upstream.get()));
}

TEST(MappedPortTCP, ErrorThatRepeatsOnEveryPassEndsTheConnection) {
  RelayLogCapture log;
  Listener upstream;
  const int upstreamPort = upstream.Port();
  RunningRelay relay("127.0.0.1", upstreamPort);
  Pair p = OpenPair(relay, upstream);
  // Every receive from the upstream fails, as on a dead network.
  ScopedFault dead([upstreamPort](TSocketCall call, int socket, std::size_t) {
    return call == TSocketCall::Recv && PeerPortOf(socket) == upstreamPort ? ETIMEDOUT : 0;
  });
  SendAll(p.upstream.get(), "220 hello\r\n");
  timeval wait{3, 0};
  setsockopt(p.client.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_TRUE(SeesEnd(p.client.get())) << "the relay kept passing over a failing socket";
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  EXPECT_EQ(log.LinesWith({"ended: connection timed out (ETIMEDOUT)"}).size(), 1u);
  EXPECT_EQ(log.LinesWith({"a copy pass failed and was skipped"}).size(), 1u);
}

TEST(MappedPortTCP, WaitThatFailsOnEveryPassEndsTheConnection) {
  RelayLogCapture log;
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  // Every wait of this connection's worker fails (it watches the client's
  // side first).
  const int clientPort = LocalPortOf(p.client.get());
  ScopedFault failing([clientPort](TSocketCall call, int socket, std::size_t) {
    return call == TSocketCall::Poll && PeerPortOf(socket) == clientPort ? ENOMEM : 0;
  });
  SendAll(p.client.get(), "x");  // ends the wait that began before the fault
  timeval wait{3, 0};
  setsockopt(p.client.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_TRUE(SeesEnd(p.client.get())) << "the relay kept passing over a failing wait";
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  // The errno itself, not the one that usually stands for its number (ENOBUFS).
  EXPECT_EQ(log.LinesWith({"ended: cannot allocate memory (ENOMEM)"}).size(), 1u);
}

TEST(MappedPortTCP, ResetMetWhileClosingIsLoggedOnlyAsDebug) {
  RelayLogCapture log;
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  Pair p = OpenPair(relay, upstream);
  // The client leaves bytes unread, so its close is a reset; it comes while
  // the relay lingers after the upstream's reset.
  SendAll(p.upstream.get(), "hello");
  ASSERT_TRUE(Eventually([&] {
    int queued = 0;
    return ioctl(p.client.get(), FIONREAD, &queued) == 0 && queued == 5;
  }));
  Reset(p.upstream);
  std::this_thread::sleep_for(milliseconds(200));
  p.client = Fd();
  EXPECT_TRUE(Eventually([&] { return relay.relay->WorkerCount() == 0; }));
  // The upstream's reset is a failure; the client's, met once the
  // connection was ending anyway, is not.
  EXPECT_EQ(log.LinesWith({"relayed connection from 127.0.0.1:",
                           ": while closing: connection reset by peer (ECONNRESET)"})
                .size(),
            1u);
  EXPECT_TRUE(log.LinesWith({"while closing"}, TRelayLogLevel::Info).empty());
}

TEST(MappedPortTCP, BothSidesSendEachPieceWithoutWaitingForNagle) {
  // A reply written in parts must not wait for the client's delayed
  // acknowledgement: both relay sockets have Nagle's algorithm off.
  Listener upstream;
  const int upstreamPort = upstream.Port();
  auto inbound = std::make_shared<std::atomic<int>>(-1);
  auto toServer = std::make_shared<std::atomic<int>>(-1);
  RunningRelay relay("127.0.0.1", upstreamPort);
  Pair p = OpenPair(relay, upstream);
  ScopedFault watch([=](TSocketCall call, int socket, std::size_t) {
    if (call != TSocketCall::Recv) return 0;
    int on = 0;
    socklen_t length = sizeof on;
    getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, &length);
    (PeerPortOf(socket) == upstreamPort ? *toServer : *inbound) = on;
    return 0;
  });
  SendAll(p.client.get(), "EHLO a\r\n");
  EXPECT_EQ(ReceiveUpTo(p.upstream.get(), 8), "EHLO a\r\n");
  SendAll(p.upstream.get(), "250-a\r\n");
  SendAll(p.upstream.get(), "250 b\r\n");
  EXPECT_EQ(ReceiveUpTo(p.client.get(), 14), "250-a\r\n250 b\r\n");
  EXPECT_EQ(*inbound, 1);
  EXPECT_EQ(*toServer, 1);
}

TEST(MappedPortTCP, EachReceiveIsBoundedByItsSidesRecvBufferSize) {
  Listener upstream;
  const int upstreamPort = upstream.Port();
  auto largestIn = std::make_shared<std::atomic<std::size_t>>(0);
  auto largestUp = std::make_shared<std::atomic<std::size_t>>(0);
  RunningRelay relay("127.0.0.1", upstreamPort, [](TMappedPortTCP& r) {
    r.OnBeforeClientConnect = [](TMappedPortTCP*, TPeerThread* thread, TTCPClient* client) {
      thread->InboundConnection->RecvBufferSize = 1000;
      client->RecvBufferSize = 700;
    };
  });
  Pair p = OpenPair(relay, upstream);
  ScopedFault watch([=](TSocketCall call, int socket, std::size_t length) {
    if (call != TSocketCall::Recv) return 0;
    auto& largest = PeerPortOf(socket) == upstreamPort ? *largestUp : *largestIn;
    std::size_t seen = largest;
    while (length > seen && !largest.compare_exchange_weak(seen, length)) {
    }
    return 0;
  });
  const std::string up = RandomBytes(100000, 13), down = RandomBytes(100000, 14);
  SendAll(p.client.get(), up);
  EXPECT_TRUE(ReceiveUpTo(p.upstream.get(), up.size()) == up);
  SendAll(p.upstream.get(), down);
  EXPECT_TRUE(ReceiveUpTo(p.client.get(), down.size()) == down);
  EXPECT_GT(*largestIn, 0u);
  EXPECT_LE(*largestIn, 1000u);
  EXPECT_GT(*largestUp, 0u);
  EXPECT_LE(*largestUp, 700u);
}

}  // namespace
