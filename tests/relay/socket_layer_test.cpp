// The socket layer and buffered connections: texts, addresses, waits and the
// closing rules that the relay builds on.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay/socket/net_exceptions.h"
#include "relay/socket/tcp_connection.h"
#include "tests/relay/loopback_peers.h"

using namespace vantelo::relay;
using namespace vantelo::testkit;

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

TEST(SocketStack, DottedAddressesNeedFourPartsUpTo255) {
  EXPECT_TRUE(TSocketStack::IsDottedAddress("127.0.0.1"));
  EXPECT_TRUE(TSocketStack::IsDottedAddress("255.255.255.255"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("10.0.0.300"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1.2.3"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1.2.3.4.5"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("a.b.c.d"));
  EXPECT_FALSE(TSocketStack::IsDottedAddress("1..2.3"));
  EXPECT_EQ(TSocketStack::AddressToText(TSocketStack::TextToAddress("192.168.1.20")),
            "192.168.1.20");
}

TEST(SocketStack, ResolvesLocalhostWithoutALookUpAndFailsOnUnknownNames) {
  EXPECT_EQ(GStack().ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(GStack().ResolveHost("LOCALHOST"), "127.0.0.1");
  EXPECT_EQ(GStack().ResolveHost("10.1.2.3"), "10.1.2.3");
  EXPECT_THROW(GStack().ResolveHost("no-such-host.invalid"), ESocketError);
}

TEST(SocketStack, WaitOnSetsHoldsSixtyFourSocketsAndHighDescriptorNumbers) {
  Listener l;
  Fd a = ConnectTo(l.Port());
  Fd b = l.Accept();
  SendAll(a.get(), "x");
  // A descriptor number far above what select() could hold.
  Fd high(fcntl(b.get(), F_DUPFD_CLOEXEC, 1500));
  ASSERT_GE(high.get(), 1500);
  TSocketList read(64, high.get());
  EXPECT_EQ(GStack().WaitOnSets(&read, nullptr, 1000), 64);
  EXPECT_EQ(read.size(), 64u);

  TSocketList tooMany(65, high.get());
  EXPECT_THROW(GStack().WaitOnSets(&tooMany, nullptr, 0), EStackSetSizeExceeded);

  TSocketList quiet{a.get()};
  EXPECT_EQ(GStack().WaitOnSets(&quiet, nullptr, 50), 0);
  EXPECT_TRUE(quiet.empty());
}

// A connection whose far end is a plain test socket.
struct Connected {
  Listener listener;
  TTCPClient client;
  Fd far;
  Connected() {
    client.Host = "127.0.0.1";
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

TEST(TCPConnection, TakePendingNeedsEnoughBytes) {
  Connected c;
  EXPECT_THROW(c.client.TakePending(1), ENotEnoughDataInBuffer);
  EXPECT_EQ(c.client.TakePending(0), "");
}

}  // namespace
