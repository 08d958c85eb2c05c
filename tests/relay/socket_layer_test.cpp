// The socket layer and buffered connections: texts, addresses, name look-up,
// waits and the closing rules that the relay builds on; and the relay log's
// own rules (words, escapes, summing).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "relay/server/descriptor_limit.h"
#include "relay/log/log_repeats.h"
#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"
#include "relay/socket/socket_errors.h"
#include "relay/socket/tcp_connection.h"
#include "tests/testkit/loopback_peers.h"
#include "tests/testkit/injected_faults.h"
#include "tests/testkit/relay_log_capture.h"

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

// Each number and each errno value is in one row only, so that an errno
// becomes its number and the number becomes that errno again.
TEST(SocketErrors, EveryRowReadsBackToItself) {
  std::set<int> numbers, errnoValues;
  for (const TSocketErrorRow& row : kSocketErrors) {
    SCOPED_TRACE(row.number);
    EXPECT_TRUE(numbers.insert(row.number).second);
    EXPECT_TRUE(errnoValues.insert(row.errnoValue).second);
    if (row.sameAs != 0) {
      EXPECT_TRUE(errnoValues.insert(row.sameAs).second);
      EXPECT_EQ(SocketErrorFromErrno(row.sameAs), row.number);
    }
    // Above every errno value, so a passed-through errno is told apart.
    EXPECT_GE(row.number, 10000);
    EXPECT_EQ(SocketErrorFromErrno(row.errnoValue), row.number);
    EXPECT_EQ(ErrnoOfSocketError(row.number), row.errnoValue);
    EXPECT_FALSE(row.words.empty());
    EXPECT_FALSE(ReasonOfSocketError(row.number).starts_with("error "));
  }
}

// The exceptions keep their texts; the log names the cause as Linux does.
TEST(SocketErrors, TheLogNamesTheCauseAsTheSystemDoes) {
  EXPECT_EQ(ReasonOfSocketError(10061), "connection refused (ECONNREFUSED)");
  EXPECT_EQ(ReasonOfSocketError(10058), "broken pipe (EPIPE)");
  EXPECT_EQ(ReasonOfSocketError(10024, ENFILE), "too many open files in system (ENFILE)");
  EXPECT_EQ(ReasonOfSocketError(kErrHostNotFound), "name or service not known");
  EXPECT_EQ(ReasonOfErrno(EIO), "input/output error (EIO)");
  // Raised right after the failed call, an error keeps the errno behind its
  // number; a number found another way gets its usual errno.
  errno = ENOMEM;
  const ESocketError memory(kErrNoBuffers);
  errno = EINPROGRESS;  // left over from a connect whose result came later
  const ESocketError refused(10061);
  EXPECT_EQ(ReasonOf(memory), "cannot allocate memory (ENOMEM)");
  EXPECT_EQ(ReasonOf(refused), "connection refused (ECONNREFUSED)");
  EXPECT_STREQ(refused.what(), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(ReasonOf(std::system_error(EAGAIN, std::generic_category(), "pthread_create")),
            "resource temporarily unavailable (EAGAIN)");
  EXPECT_EQ(ReasonOf(ECouldNotBindSocket()),
            "Could not bind socket. Address and port are already in use.");
}

// No logged value (a host or connection name) may forge a line or reach a
// terminal raw.
TEST(RelayLog, ControlCharactersAreEscapedInEveryLine) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain, caf\xc3\xa9, \xe2\x82\xac, \xf0\x9f\x93\xa7 and C:\\tmp stay",
       "plain, caf\xc3\xa9, \xe2\x82\xac, \xf0\x9f\x93\xa7 and C:\\tmp stay"},
      {"Work\nvantelo.route: mail now goes to evil", "Work\\nvantelo.route: mail now goes to evil"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
      {"\xc2\x9b"
       "31m \xc2\x85",
       "\\u009b31m \\u0085"},    // C1 controls in UTF-8
      {"\xc2\xa0", "\xc2\xa0"},  // U+00A0 is no control
      {"\x9b"
       "31m \xff \xc3",
       "\\x9b31m \\xff \\xc3"},                                          // bytes that are not UTF-8
      {"\xe0\x80\x80 \xed\xa0\x80", "\\xe0\\x80\\x80 \\xed\\xa0\\x80"},  // overlong, surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeControls(c.in), c.out) << c.out;
    EXPECT_EQ(EscapeControls(c.out), c.out) << "escaped twice: " << c.out;
  }
  RelayLogCapture log;
  RelayLog(TRelayLogLevel::Warning, "connect to evil\n.example:25\x1b[8m failed");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"connect to evil\\n.example:25\\x1b[8m failed"});
}

// A burst of one failure writes a line at once, then at most one a second,
// and every line is counted in exactly one of them.
TEST(RelayLog, ALineThatRepeatsIsSummedUpOnceASecond) {
  using L = TRepeatedLines::TLine;
  using Lines = std::vector<L>;
  const auto W = TRelayLogLevel::Warning;
  const auto I = TRelayLogLevel::Info;
  TRepeatedLines::TClock::time_point t{};
  TRepeatedLines repeats([&t] { return t; });
  auto refused = [](int port) {
    return "relayed connection from 127.0.0.1:" + std::to_string(port) +
           ": connect to mail.example:25 failed: connection refused (ECONNREFUSED)";
  };
  EXPECT_EQ(repeats.Add(W, refused(40000)), (Lines{{W, refused(40000)}}));
  for (int i = 1; i < 2000; ++i) {
    t += microseconds(400);
    ASSERT_TRUE(repeats.Add(W, refused(40000 + i)).empty()) << i;
  }
  // Another cause, or the same text at another level, is another kind.
  const std::string timedOut =
      "connect to mail.example:25 failed: connection timed out (ETIMEDOUT)";
  EXPECT_EQ(repeats.Add(W, timedOut), (Lines{{W, timedOut}}));
  EXPECT_EQ(repeats.Add(I, refused(1)), (Lines{{I, refused(1)}}));
  // The flood goes on into the next second: one line for the last second
  // (the last line counted, and how many more), and the new line is counted.
  t = TRepeatedLines::TClock::time_point{} + seconds(1);
  EXPECT_EQ(repeats.Add(W, refused(50000)),
            (Lines{{W, refused(41999) + " (and 1998 more like it within a second)"}}));
  // The next line of any kind after that second writes the count; a count
  // of one is the line itself.
  t += milliseconds(1500);
  EXPECT_EQ(repeats.Add(I, "listener on 127.0.0.1:2525: accepting again"),
            (Lines{{W, refused(50000)}, {I, "listener on 127.0.0.1:2525: accepting again"}}));
  // Quiet for a second: written at once again.
  t += seconds(1);
  EXPECT_EQ(repeats.Add(W, refused(2)), (Lines{{W, refused(2)}}));
  EXPECT_TRUE(repeats.Add(W, refused(3)).empty());
  EXPECT_TRUE(repeats.Add(W, refused(4)).empty());
  // Flush writes what is counted, and the summing starts afresh.
  EXPECT_EQ(repeats.Flush(), (Lines{{W, refused(4) + " (and 1 more like it within a second)"}}));
  EXPECT_TRUE(repeats.Flush().empty());
  EXPECT_EQ(repeats.Add(W, refused(5)), (Lines{{W, refused(5)}}));
}

// Through the relay log, from many threads at once: nothing is lost, also
// when the sink is replaced while lines are still being counted.
TEST(RelayLog, CountsFromManyThreadsReachTheSinkWhenItIsReplaced) {
  std::vector<std::string> lines;
  {
    RelayLogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 500; ++i) {
          RelayLog(TRelayLogLevel::Warning,
                   "connection from 127.0.0.1:" + std::to_string(t * 1000 + i) +
                       " ended: connection reset by peer (ECONNRESET)");
        }
      });
    }
    for (auto& thread : threads) thread.join();
    RelayLogCapture next;  // replaces the sink of `log`, which gets the counts
    lines = log.Lines();
    EXPECT_TRUE(next.Lines().empty());
  }
  EXPECT_LE(lines.size(), 4u);
  EXPECT_EQ(CountedLines(lines, "ended: connection reset by peer (ECONNRESET)"), 4000);
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
  explicit Connected(const std::string& host = "127.0.0.1",
                     const std::string& listenOn = "127.0.0.1")
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
