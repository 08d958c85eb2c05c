// The socket layer and buffered connections: texts, addresses, name look-up,
// waits and the closing rules that the relay builds on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay/descriptor_limit.h"
#include "relay/socket/net_exceptions.h"
#include "relay/socket/tcp_connection.h"
#include "tests/testkit/loopback_peers.h"

using namespace vantelo::relay;
using namespace vantelo::testkit;
using namespace std::chrono;

namespace {

TEST(SocketErrors, MessagesKeepTheirNumbersAndTexts) {
  EXPECT_EQ(ErrorText(10054), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(ErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(ErrorText(12345), "Socket Error # 12345\r\n");
  EXPECT_EQ(SocketErrorFromErrno(EPIPE), 10058);
  EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(SocketErrorFromErrno(ECONNABORTED), 10053);
  EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_STREQ(ECouldNotBindSocket().what(),
               "Could not bind socket. Address and port are already in use.");
}

TEST(SocketStack, DottedAddressesAreFourDecimalPartsUpTo255) {
  EXPECT_TRUE(TSocketStack::IsDottedAddress("127.0.0.1"));
  EXPECT_TRUE(TSocketStack::IsDottedAddress("255.255.255.255"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("10.0.0.300"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1.2.3"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1.2.3.4.5"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("a.b.c.d"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1..2.3"));
  EXPECT_EQ(TSocketStack::AddressToText(TSocketStack::TextToAddress("192.168.1.20")),
            "192.168.1.20");
  // Leading zeros never make a part octal, however many digits it has.
  EXPECT_TRUE(TSocketStack::IsDottedAddress("0010.0.0.1"));
  EXPECT_EQ(TSocketStack::AddressToText(TSocketStack::TextToAddress("0010.0.0.1")), "10.0.0.1");
  EXPECT_EQ(GStack().ResolveHost("0010.0.0.1"), "0010.0.0.1");  // no look-up
  EXPECT_TRUE(TSocketStack::IsDottedAddress("127.000000.0.00255"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("127.0.0.0256"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1.2.3.99999999999999999999"));
}

TEST(SocketStack, ResolvesLiteralsWithoutALookUpAndFailsOnUnknownNames) {
  EXPECT_EQ(GStack().ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(GStack().ResolveHost("LOCALHOST"), "127.0.0.1");
  EXPECT_EQ(GStack().ResolveHost("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(GStack().ResolveHost("::1"), "::1");
  EXPECT_EQ(GStack().ResolveHost("[2001:db8::25]"), "2001:db8::25");
  try {
    GStack().ResolveHost("no-such-host.invalid");
    FAIL() << "an unknown name resolved";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.LastError, kErrHostNotFound);
  }
}

TEST(SocketStack, NamesPreferTheirFirstIPv4AddressAndFallBackToIPv6) {
  InjectedFaults& faults = InjectedFaults::Get();
  faults.SetName("both.vantelo.test", {"192.0.2.7", "192.0.2.8"}, {"2001:db8::7"});
  faults.SetName("six.vantelo.test", {}, {"2001:db8::25", "2001:db8::26"});
  faults.SetName("none.vantelo.test", {}, {});
  EXPECT_EQ(GStack().ResolveHost("both.vantelo.test"), "192.0.2.7");
  EXPECT_EQ(GStack().ResolveHost("six.vantelo.test"), "2001:db8::25");
  EXPECT_THROW(GStack().ResolveHost("none.vantelo.test"), ESocketError);
  faults.ClearNames();
}

TEST(SocketStack, ResolvesThisMachinesOwnNameThroughTheResolver) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  std::string address;
  try {
    address = GStack().ResolveHost(name);
  } catch (const ESocketError&) {
    GTEST_SKIP() << "this machine's name \"" << name << "\" does not resolve";
  }
  in_addr parsed;
  EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
}

TEST(SocketStack, WaitOnSetsHoldsSixtyFourSocketsAndHighDescriptorNumbers) {
  std::string why;
  if (!EnsureDescriptors(1600, why)) GTEST_SKIP() << why;
  Listener l;
  Fd a = ConnectTo(l.Port());
  Fd b = l.Accept();
  SendAll(a.get(), "x");
  // A descriptor number far above what select() could hold.
  Fd high(fcntl(b.get(), F_DUPFD_CLOEXEC, 1500));
  ASSERT_GE(high.get(), 1500) << strerror(errno);
  TSocketList read(64, high.get());
  EXPECT_EQ(GStack().WaitOnSets(&read, nullptr, 1000), 64);
  EXPECT_EQ(read.size(), 64u);

  TSocketList tooMany(65, high.get());
  EXPECT_THROW(GStack().WaitOnSets(&tooMany, nullptr, 0), EStackSetSizeExceeded);

  TSocketList quiet{a.get()};
  EXPECT_EQ(GStack().WaitOnSets(&quiet, nullptr, 50), 0);
  EXPECT_TRUE(quiet.empty());
}

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardLimit) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max != RLIM_INFINITY && before.rlim_max <= 256) {
    GTEST_SKIP() << "the hard limit is only " << before.rlim_max;
  }
  rlimit lowered = before;
  lowered.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_TRUE(RaiseDescriptorLimit());
  rlimit after{};
  getrlimit(RLIMIT_NOFILE, &after);
  EXPECT_GT(after.rlim_cur, 256u);
  if (before.rlim_max != RLIM_INFINITY) {
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
  }
  EXPECT_TRUE(RaiseDescriptorLimit());  // already raised: nothing to do
  setrlimit(RLIMIT_NOFILE, &before);
}

// A connection whose far end is a plain test socket.
struct Connected {
  Listener listener;
  TTCPClient client;
  Fd far;
  explicit Connected(const std::string& host = "127.0.0.1", const std::string& listenOn = "127.0.0.1")
      : listener(listenOn) {
    client.Host = host;
    client.Port = listener.Port();
    client.Connect();
    far = listener.Accept();
  }
};

TEST(TCPConnection, ReadAvailableReturnsOneReceiveThenEmptyOnClose) {
  Connected c;
  SendAll(c.far.get(), "hello");
  EXPECT_EQ(c.client.ReadAvailable(), "hello");
  c.far = Fd();
  EXPECT_EQ(c.client.ReadAvailable(), "");
  EXPECT_FALSE(c.client.IsConnected());
  EXPECT_THROW(c.client.WriteText("late"), EConnClosedGracefully);
  c.client.WriteText("");  // an empty text checks nothing
}

TEST(TCPConnection, WritingToAGonePeerRaisesInsteadOfKillingTheProcess) {
  Connected c;
  c.far = Fd();
  std::string big(1 << 20, 'x');
  // The first write may still be taken; the ones after meet the reset or the
  // shut-down, which must come back as a socket error, never as SIGPIPE.
  try {
    for (int i = 0; i < 50; ++i) c.client.WriteText(big);
    FAIL() << "writes to a closed peer kept succeeding";
  } catch (const ESocketError& e) {
    EXPECT_TRUE(e.LastError == 10058 || e.LastError == 10054) << e.LastError;
  }
}

TEST(TCPConnection, ShutDownSendingRaises10058) {
  Connected c;
  shutdown(c.client.SocketBinding.SocketHandle(), SHUT_WR);
  try {
    c.client.WriteText("x");
    FAIL();
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.LastError, 10058);
  }
  EXPECT_FALSE(c.client.IsConnected());
}

TEST(TCPConnection, WaitsInterruptedBySignalsGoOn) {
  // Every other wait of every thread is interrupted, as a signal would.
  ScopedFault interrupted([](TSocketCall call, int, std::size_t) {
    thread_local bool odd = false;
    if (call != TSocketCall::Poll) return 0;
    odd = !odd;
    return odd ? EINTR : 0;
  });

  // A receive: an interrupted wait is not a closed peer.
  Connected c;
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(100));
    SendAll(c.far.get(), "late");
  });
  EXPECT_EQ(c.client.ReadAvailable(), "late");
  late.join();

  // A connect still waiting for the upstream: a queue that holds one
  // connection, already taken, leaves the next connect waiting.
  Listener full("127.0.0.1", 0);
  Fd filler = ConnectTo(full.Port());
  TTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = full.Port();
  auto connect = std::async(std::launch::async, [&] { client.Connect(); });
  EXPECT_EQ(connect.wait_for(milliseconds(300)), std::future_status::timeout)
      << "the connect returned while the upstream had not answered";
  Fd first = full.Accept();  // makes room; the connect's retry gets through
  connect.get();
  EXPECT_EQ(client.SocketBinding.RemotePort, full.Port());
  EXPECT_TRUE(full.Accept());
}

TEST(TCPClient, ConnectTwiceRaisesAndStaysOpen) {
  Connected c;
  try {
    c.client.Connect();
    FAIL();
  } catch (const EAlreadyConnected& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
  EXPECT_TRUE(c.client.IsConnected());
  c.client.CloseConnection();
  c.client.CloseConnection();  // twice is harmless
  EXPECT_FALSE(c.client.IsConnected());
}

TEST(TCPClient, RefusedConnectRaisesAndLeavesNoSocket) {
  int port;
  {
    Listener gone;
    port = gone.Port();
  }
  TTCPClient client;
  client.Host = "localhost";
  client.Port = port;
  try {
    client.Connect();
    FAIL();
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.LastError, 10061);
  }
  EXPECT_FALSE(client.SocketBinding.SocketOpen());
}

TEST(TCPClient, ConnectsToIPv6Literals) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
  for (const char* host : {"::1", "[::1]"}) {
    Connected c(host, "::1");
    ASSERT_TRUE(c.far) << host;
    EXPECT_EQ(c.client.SocketBinding.RemoteIP, "::1");
    SendAll(c.far.get(), "six");
    EXPECT_EQ(c.client.ReadAvailable(), "six");
  }
}

}  // namespace
