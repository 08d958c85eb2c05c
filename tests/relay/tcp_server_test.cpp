// The threaded server: activation, the listener's resilience, and the
// bounded stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "relay/socket/net_exceptions.h"
#include "tests/testkit/loopback_peers.h"
#include "tests/testkit/injected_faults.h"
#include "tests/testkit/relay_log_capture.h"

using namespace vantelo::relay;
using namespace vantelo::testkit;
using namespace std::chrono;

namespace {

long long MillisecondsToDestroy(TOwnedServer<TMappedPortTCP>& server) {
  auto start = steady_clock::now();
  server.reset();
  return MillisecondsSince(start);
}

// Sends `text` through `relay` to an echo server and expects it back.
void ExpectRelays(int relayPort, const std::string& text) {
  Fd c = ConnectTo(relayPort, 5000);
  ASSERT_TRUE(c);
  SendAll(c.get(), text);
  EXPECT_EQ(ReceiveUpTo(c.get(), text.size()), text);
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

TEST(TCPServer, PortBelow1024WithoutTheRightSaysHowToGetIt) {
  // As the system answers a program without cap_net_bind_service.
  ScopedFault denied(
      [](TSocketCall call, int, std::size_t) { return call == TSocketCall::Bind ? EACCES : 0; });
  auto server = TOwnedServer<TMappedPortTCP>::Make();
  server->SetDefaultPort(25);
  try {
    server->SetActive(true);
    FAIL() << "bound a port it may not";
  } catch (const ESocketError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("permission denied (EACCES): port 25 is below 1024", 0), 0u) << message;
    EXPECT_NE(message.find("sudo setcap cap_net_bind_service=+ep /"), std::string::npos);
    EXPECT_NE(message.find("or a port above 1023"), std::string::npos);
    EXPECT_EQ(e.LastError, 10013);
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

// The stop wait used to sleep 250 ms before its first look, and a stop
// waits twice: half a second of a refused port at every route switch, even
// with nothing open. Ten stops of each kind took at least 7.5 s that way.
TEST(TCPServer, DestroyingLooksBeforeItWaits) {
  auto start = steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    auto idle = TOwnedServer<TMappedPortTCP>::Make();
    idle.reset();
    RunningRelay relay("127.0.0.1", 1);
    relay.relay.reset();
  }
  EXPECT_LT(MillisecondsSince(start), 2500);
}

// A route switch: the next relay takes the listening socket over from the
// one before, which keeps its connections. A client that connects in
// between waits in the backlog and reaches the next relay's upstream; none
// is refused or reset.
TEST(TCPServer, AHandedOverListeningSocketKeepsItsBacklog) {
  Listener first, second;
  RunningRelay before("127.0.0.1", first.Port());
  const int port = before.Port();
  Fd old = ConnectTo(port);
  Fd oldUpstream = first.Accept();
  ASSERT_TRUE(oldUpstream);
  TListeningSockets sockets = before.relay->GiveUpListeners();
  ASSERT_EQ(sockets.size(), 1u);
  EXPECT_FALSE(before.relay->Active());
  Fd waiting = ConnectTo(port);  // no listener thread now: the backlog holds it
  ASSERT_TRUE(waiting);
  SendAll(waiting.get(), "new");

  auto after = TOwnedServer<TMappedPortTCP>::Make();
  after->MappedHost = "127.0.0.1";
  after->MappedPort = second.Port();
  after->ActivateOn(std::move(sockets));
  EXPECT_TRUE(after->Active());
  EXPECT_EQ(after->Bindings[0].Port, port);
  Fd waitingUpstream = second.Accept();
  ASSERT_TRUE(waitingUpstream);
  EXPECT_EQ(ReceiveUpTo(waitingUpstream.get(), 3), "new");
  SendAll(old.get(), "old");
  EXPECT_EQ(ReceiveUpTo(oldUpstream.get(), 3), "old");
  EXPECT_EQ(before.relay->WorkerCount(), 1u);

  before.relay.reset();  // ends its own connection and leaves the port alone
  EXPECT_TRUE(SeesEnd(old.get()));
  Fd next = ConnectTo(port);
  EXPECT_TRUE(second.Accept());
}

TEST(TCPServer, AcceptErrorsOfOneConnectionAreSkipped) {
  // Every error accept(2) reports for the one connection being accepted, or
  // asks to retry, once each: the listener skips it and serves the client.
  const std::vector<int> errors = {ECONNABORTED, EPROTO,     EINTR,       EAGAIN,
                                   ENETDOWN,     ENONET,     ENOPROTOOPT, EHOSTDOWN,
                                   EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH};
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  EchoServer echo;
  RelayLogCapture log;
  RunningRelay relay("127.0.0.1", echo.Port());
  {
    ScopedFault faults([&errors, next](TSocketCall call, int, std::size_t) {
      if (call != TSocketCall::Accept) return 0;
      std::size_t i = (*next)++;
      return i < errors.size() ? errors[i] : 0;
    });
    ExpectRelays(relay.Port(), "served after every skipped error");
  }
  EXPECT_GT(*next, errors.size());
  EXPECT_EQ(log.LinesWith({"listener on 127.0.0.1:" + std::to_string(relay.Port()),
                           "lost before it was accepted"})
                .size(),
            errors.size());
}

TEST(TCPServer, ListenerOutOfDescriptorsWaitsInsteadOfSpinning) {
  // accept() fails with EMFILE (then ENFILE, ENOBUFS, ENOMEM) for 600 ms.
  auto attempts = std::make_shared<std::atomic<int>>(0);
  const auto until = steady_clock::now() + milliseconds(600);
  EchoServer echo;
  RelayLogCapture log;
  RunningRelay relay("127.0.0.1", echo.Port());
  {
    ScopedFault exhausted([attempts, until](TSocketCall call, int, std::size_t) {
      if (call != TSocketCall::Accept || steady_clock::now() > until) return 0;
      static const int kErrors[] = {EMFILE, ENFILE, ENOBUFS, ENOMEM};
      return kErrors[(*attempts)++ % 4];
    });
    ExpectRelays(relay.Port(), "served once descriptors are back");
  }
  // About one attempt per 100 ms wait; a listener that does not wait makes
  // thousands.
  EXPECT_GE(*attempts, 3);
  EXPECT_LE(*attempts, 12);
  const std::string name = "listener on 127.0.0.1:" + std::to_string(relay.Port());
  EXPECT_EQ(log.LinesWith({name, "cannot accept for now", "too many open files (EMFILE)"}).size(),
            1u);
  EXPECT_EQ(log.LinesWith({name, "accepting again"}).size(), 1u);
}

TEST(TCPServer, ListenerWhoseWaitFailsTriesAgainInsteadOfSpinning) {
  // The listener's wait fails (as poll() does when memory is short) for 600 ms.
  auto attempts = std::make_shared<std::atomic<int>>(0);
  const auto until = steady_clock::now() + milliseconds(600);
  EchoServer echo;
  RelayLogCapture log;
  RunningRelay relay("127.0.0.1", echo.Port());
  const int listening = relay.relay->Bindings[0].SocketHandle();
  {
    ScopedFault failing([attempts, until, listening](TSocketCall call, int socket, std::size_t) {
      if (call != TSocketCall::Poll || socket != listening || steady_clock::now() > until) return 0;
      ++*attempts;
      return ENOMEM;
    });
    ExpectRelays(relay.Port(), "ends the wait that began before the fault");
    std::this_thread::sleep_until(until + milliseconds(100));
  }
  ExpectRelays(relay.Port(), "served once the wait works again");
  EXPECT_GE(*attempts, 3);
  EXPECT_LE(*attempts, 12);
  const std::string name = "listener on 127.0.0.1:" + std::to_string(relay.Port());
  EXPECT_EQ(
      log.LinesWith({name, "waiting for connections failed", "cannot allocate memory (ENOMEM)"})
          .size(),
      1u);
  EXPECT_EQ(log.LinesWith({name, "waiting for connections again"}).size(), 1u);
}

// Starts a non-blocking connect to 127.0.0.1:port.
Fd StartConnect(int port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

bool Established(int fd) {
  pollfd p{fd, POLLOUT, 0};
  int error = 0;
  socklen_t len = sizeof error;
  return poll(&p, 1, 0) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
         error == 0;
}

TEST(TCPServer, ABurstOfConnectsQueuesWhileTheListenerIsBusy) {
  std::string why;
  if (!EnsureDescriptors(1200, why)) GTEST_SKIP() << why;
  constexpr int kBurst = 200;
  EchoServer echo;
  RunningRelay relay("127.0.0.1", echo.Port());
  // The listener is held inside its next accept until the burst is in.
  auto released = std::make_shared<std::atomic<bool>>(false);
  ScopedFault busy([released](TSocketCall call, int, std::size_t) {
    for (int i = 0; call == TSocketCall::Accept && !*released && i < 500; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    return 0;
  });
  Fd first = ConnectTo(relay.Port());  // wakes the listener into the held accept
  std::this_thread::sleep_for(milliseconds(50));

  std::vector<Fd> clients;
  for (int i = 0; i < kBurst; ++i) clients.push_back(StartConnect(relay.Port()));
  auto all = [&] {
    for (auto& c : clients) {
      if (!Established(c.get())) return false;
    }
    return true;
  };
  // The system completes every handshake while the connections wait in the
  // accept queue; a short queue drops the rest until the clients retry.
  EXPECT_TRUE(Eventually(all, 700));
  *released = true;

  for (int i = 0; i < kBurst; ++i) {
    int flags = fcntl(clients[i].get(), F_GETFL);
    fcntl(clients[i].get(), F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{10, 0};
    setsockopt(clients[i].get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SendAll(clients[i].get(), "#" + std::to_string(1000 + i));
  }
  for (int i = 0; i < kBurst; ++i) {
    EXPECT_EQ(ReceiveUpTo(clients[i].get(), 5), "#" + std::to_string(1000 + i)) << i;
  }
}

TEST(TCPServer, ListenerThatFailsStopsListeningKeepsItsAddressAndStaysDestroyable) {
  RelayLogCapture log;
  Listener upstream;
  RunningRelay relay("127.0.0.1", upstream.Port());
  const int port = relay.Port();
  // The owner reads the binding while the listener fails on its thread.
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    while (reading) {
      EXPECT_EQ(relay.relay->Bindings[0].Port, port);
      EXPECT_EQ(relay.relay->Bindings[0].IP, "127.0.0.1");
    }
  });
  {
    ScopedFault fatal([](TSocketCall call, int, std::size_t) {
      return call == TSocketCall::Accept ? EINVAL : 0;
    });
    Fd victim = ConnectTo(port);
    const std::string failed = "listener on 127.0.0.1:" + std::to_string(port) +
                               " failed and accepts no more connections: invalid argument (EINVAL)";
    EXPECT_TRUE(Eventually([&] { return log.LinesWith({failed}).size() == 1; }));
  }
  // New clients are refused at once rather than left waiting in a queue.
  EXPECT_TRUE(Eventually([&] { return !ConnectTo(port); }, 2000));
  reading = false;
  reader.join();
  EXPECT_TRUE(relay.relay->Active());
  EXPECT_EQ(relay.relay->Bindings[0].Port, port);
  EXPECT_LT(MillisecondsToDestroy(relay.relay), 1500);
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
