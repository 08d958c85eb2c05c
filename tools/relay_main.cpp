// vantelo-relay [--password-file FILE] LISTEN_PORT HOST PORT: runs one relay
// until SIGINT, SIGTERM or SIGHUP, and says which one ended it. It is how the
// relay is tried and benchmarked on its own. It prints "listening on port N"
// on standard output once it listens; failures and the relay log go to
// standard error. HOST is a route's server text, so it may start with
// smtps:// or starttls:// and name a user to log in as (smtps://alice@HOST);
// the password comes from FILE (password_file.h) or else the desktop's
// keyring. VANTELO_TLS_PRELUDE_MS, when set, replaces the 30 s limit on a
// secure start (the tests shorten it).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "relay/server/descriptor_limit.h"
#include "relay/log/log_sink.h"
#include "relay/mapped_port/mapped_port_tcp.h"
#include "relay/mapped_port/upstream_route.h"
#include "tools/password_file.h"
#if VANTELO_RELAY_KEYRING
#include "keyring/secret_service.h"
#endif

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

const char* const kUsage =
    "usage: vantelo-relay [--password-file FILE] LISTEN_PORT HOST PORT\n"
    "       vantelo-relay --help | --version\n";
const char* const kHelp =
    "\n"
    "Relays every connection to LISTEN_PORT (on every local address; 0 lets the\n"
    "system choose) to HOST:PORT, until SIGINT, SIGTERM or SIGHUP. HOST may start\n"
    "with smtps:// or starttls://: the relay then does the TLS itself and verifies\n"
    "the server's certificate. With a user before the host (smtps://alice@HOST)\n"
    "it logs in itself, with the password from FILE or the desktop's keyring.\n"
    "It prints \"listening on port N\" on standard output once it listens;\n"
    "failures and the relay's log go to standard error.\n"
    "VANTELO_TLS_PRELUDE_MS replaces the 30 s limit on a secure start.\n";

// The desktop's keyring, when this build has it; else none, and a login
// route answers "No password".
std::shared_ptr<vantelo::relay::TPasswordSource> Keyring() {
#if VANTELO_RELAY_KEYRING
  return std::make_shared<vantelo::keyring::TSecretServicePasswords>();
#else
  return nullptr;
#endif
}

// --help and --version; false for anything else.
bool AnsweredOption(int argc, char** argv) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0) {
    std::printf("%s%s", kUsage, kHelp);
    return true;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::puts("vantelo-relay " VANTELO_VERSION);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantelo::relay;
  if (AnsweredOption(argc, argv)) return 0;
  int listenPort = 0;
  int mappedPort = 0;
  const char* passwordFile = nullptr;
  if (argc == 6 && std::string(argv[1]) == "--password-file") {
    passwordFile = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 4 || !ParsePort(argv[1], listenPort) || !ParsePort(argv[3], mappedPort) ||
      argv[2][0] == '\0') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // A server text that can never work is refused now, not per connection.
  const TUpstreamRoute route = ParseServerText(argv[2]);
  if (!route.error.empty()) {
    std::fprintf(stderr, "vantelo-relay: unusable server text: %s\n%s",
                 EscapeControls(route.error).c_str(), kUsage);
    return 2;
  }
  std::shared_ptr<TPasswordSource> passwords;
  if (passwordFile) {
    auto file = std::make_shared<vantelo::tools::TPasswordFile>(passwordFile);
    if (const std::string why = file->Check(); !why.empty()) {
      std::fprintf(stderr, "vantelo-relay: %s\n", EscapeControls(why).c_str());
      return 2;
    }
    passwords = std::move(file);
  } else if (!route.user.empty()) {
    passwords = Keyring();
  }

  // One line per call; stdio locks the stream, so lines from several relay
  // threads never mix. How connections ended in order is left out.
  SetRelayLogSink([](TRelayLogLevel level, const std::string& line) {
    if (level == TRelayLogLevel::Debug) return;
    std::fprintf(stderr, "vantelo-relay: %s%s\n",
                 level == TRelayLogLevel::Warning ? "warning: " : "", line.c_str());
  });
  RaiseDescriptorLimit();

  // Block the stop signals before any thread starts, so that only sigwait
  // below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto relay = TOwnedServer<TMappedPortTCP>::Make();
  relay->SetDefaultPort(listenPort);
  relay->MappedHost = argv[2];
  relay->MappedPort = mappedPort;
  relay->Passwords = passwords;
  if (const char* limit = std::getenv("VANTELO_TLS_PRELUDE_MS")) {
    char* end = nullptr;
    const long ms = std::strtol(limit, &end, 10);
    if (end == limit || *end != '\0' || ms < 1 || ms > 3600000) {
      std::fprintf(stderr,
                   "VANTELO_TLS_PRELUDE_MS must be a number of milliseconds from 1 to 3600000\n");
      return 2;
    }
    relay->SecurePreludeTime = static_cast<int>(ms);
  }
  try {
    relay->SetActive(true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("listening on port %d\n", relay->Bindings[0].Port);
  std::fflush(stdout);
  if (!route.user.empty()) {
    // It listens on every local address.
    RelayLog(TRelayLogLevel::Info,
             "every client that reaches port " + std::to_string(relay->Bindings[0].Port) +
                 " sends mail logged in as " + route.user + " at " + route.host);
  }

  int received = 0;
  sigwait(&stopSignals, &received);
  std::fprintf(stderr, "vantelo-relay: ending on %s\n",
               received == SIGINT   ? "SIGINT"
               : received == SIGHUP ? "SIGHUP"
                                    : "SIGTERM");
  // Stopping wakes every connection and waits for each to close; once none is
  // left, the rest of the relay's destruction would only wait and free memory
  // that the process's end frees as well.
  relay->SetActive(false);
  if (relay->WorkerCount() == 0) {
    FlushRelayLog();
    std::fflush(nullptr);
    std::_Exit(0);
  }
  relay.reset();
  return 0;
}
