// vantelo-relay LISTEN_PORT HOST PORT: runs one relay until SIGINT or SIGTERM.
// It is how the relay is tried and benchmarked on its own.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "relay/mapped_port/mapped_port_tcp.h"

namespace {

bool ParsePort(const char* text, int& port) {
  std::string s(text);
  if (s.empty() || s.size() > 5) return false;
  port = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  return port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantelo::relay;
  int listenPort = 0;
  int mappedPort = 0;
  if (argc != 4 || !ParsePort(argv[1], listenPort) || !ParsePort(argv[3], mappedPort) ||
      argv[2][0] == '\0') {
    std::fprintf(stderr, "usage: vantelo-relay LISTEN_PORT HOST PORT\n");
    return 2;
  }

  // Block the stop signals before any thread starts, so that only sigwait
  // below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto relay = TOwnedServer<TMappedPortTCP>::Make();
  relay->SetDefaultPort(listenPort);
  relay->MappedHost = argv[2];
  relay->MappedPort = mappedPort;
  try {
    relay->SetActive(true);
  } catch (const std::exception& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  std::printf("listening on port %d\n", relay->Bindings[0].Port);
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  relay.reset();
  return 0;
}
