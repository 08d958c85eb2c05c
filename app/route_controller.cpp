#include "app/route_controller.h"

#include <filesystem>
#include <stdexcept>
#include <unistd.h>

#include "logging/log_categories.h"
#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/mapped_port/upstream_route.h"
#include "routing/settings.h"
#include "routing/text_rules.h"

namespace vantelo::app {
namespace {

using relay::OneLine;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

// A server text with a user before its host: "starttls://alice@smtp.example.net".
bool HasLogin(const std::string& server) { return !relay::ParseServerText(server).user.empty(); }

// A server text as the log may show it: as written, except a password that
// someone put into it.
std::string Shown(const std::string& server) { return relay::ParseServerText(server).shown; }

// Escaped here already: a NUL in a value (a server text) would end the line.
void Log(const QLoggingCategory& category, QtMsgType type, const std::string& line) {
  if (type == QtInfoMsg) {
    qCInfo(category, "%s", relay::EscapeControls(line).c_str());
  } else {
    qCWarning(category, "%s", relay::EscapeControls(line).c_str());
  }
}

}  // namespace

TRouteController::TRouteController(routing::TRouteStore& store,
                                   relay::TOwnedServer<relay::TMappedPortTCP>& relay,
                                   std::shared_ptr<relay::TThreadMgrDefault> threadMgr,
                                   THooks hooks)
    : store_(store), relay_(relay), threadMgr_(std::move(threadMgr)), hooks_(std::move(hooks)) {}

TRouteController::TClock::time_point TRouteController::Now() const {
  return hooks_.Now ? hooks_.Now() : TClock::now();
}

void TRouteController::Guarded(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    // Stops where it failed; what was done before stays.
    Log(lcRoute(), QtWarningMsg, std::string("stopped: ") + OneLine(e.what()));
  } catch (...) {
    Log(lcRoute(), QtWarningMsg, "stopped by an unknown failure");
  }
}

void TRouteController::Timer3Timer() {
  Guarded([this] {
    ConnectionStatus.clear();
    ActiveEntry = "--";
    if (hooks_.GetActiveConnections) hooks_.GetActiveConnections();
    if (hooks_.ShowConfigNotice) hooks_.ShowConfigNotice(ConfigChanged == 1);
    if (ConnectionStatus == kConnectedStatus) {
      DefaultApplied = 0;
      // Another entry connected in place of the one whose route is in force,
      // with no tick in between that saw none: a change of state all the same.
      if (RouteApplied == 0 || ActiveEntry != routeEntry_) {
        executesmtp(ActiveEntry);
        if (hooks_.updatesmtp) hooks_.updatesmtp();
        RouteApplied = 1;
        routeEntry_ = ActiveEntry;
        return;
      }
    } else {
      if (RouteApplied == 1) {
        RouteApplied = 0;
        if (hooks_.updatesmtp) hooks_.updatesmtp();
      }
      if (DefaultApplied == 0) {
        executedefaultsmtp();
        DefaultApplied = 1;
        return;
      }
    }
    RetryIfDue();
  });
}

void TRouteController::ConnectionsChanged() { Timer3Timer(); }

void TRouteController::SpeedButton2Click() {
  // Sessions on earlier routes end now, and so do those of a relay that
  // Refresh replaces; one line says how many.
  refreshing_ = true;
  endedByRefresh_ = reaper_.EndAll();
  Guarded([this] {
    if (ConnectionStatus == kConnectedStatus) {
      executesmtp(ActiveEntry);
      RouteApplied = 1;
      DefaultApplied = 0;
      routeEntry_ = ActiveEntry;
    } else {
      executedefaultsmtp();
      DefaultApplied = 1;
      RouteApplied = 0;
    }
    ConfigChanged = 0;
  });
  refreshing_ = false;
  if (endedByRefresh_ > 0) {
    Log(lcRoute(), QtInfoMsg, "Refresh ended " + Sessions(endedByRefresh_) + " still open");
  }
}

void TRouteController::executesmtp(const std::string& entry) {
  Apply([this, entry] { return ApplyEntryRoute(entry); });
}

void TRouteController::executedefaultsmtp() {
  Apply([this] { return ApplyDefaultRoute(); });
}

void TRouteController::Apply(const std::function<TOutcome()>& apply) {
  retry_ = nullptr;
  TOutcome outcome = TOutcome::Failed;
  Guarded([&] { outcome = apply(); });
  if (outcome == TOutcome::TryAgain && retry_) {
    retryAt_ = Now() + kRetryInterval;
    return;
  }
  retry_ = nullptr;
  // Nothing is retried now, so nothing is left to clear.
  if (outcome != TOutcome::Restarted) fault_ = TPassingFault::None;
}

void TRouteController::RetryIfDue() {
  if (!retry_ || Now() < retryAt_) return;
  const std::function<TOutcome()> apply = retry_;
  retrying_ = true;
  Apply(apply);
  retrying_ = false;
}

void TRouteController::NoteFault(TPassingFault fault, const std::string& line) {
  if (retrying_ && fault == fault_ && line == faultLine_) return;
  fault_ = fault;
  faultLine_ = line;
  Log(fault == TPassingFault::RouteFile ? lcStore() : lcRoute(), QtWarningMsg, line);
}

void TRouteController::NoteCleared(TPassingFault fault) {
  if (fault_ != fault) return;
  fault_ = TPassingFault::None;
  if (fault == TPassingFault::RouteFile) {
    Log(lcStore(), QtInfoMsg, "the route file can be read again");
  }  // listening again: RestartRelay says so, with the address
}

std::string TRouteController::ReadListeningPort() {
  const std::optional<std::string> set = routing::ReadSettingIfSet(routing::kDialSmtpPort);
  if (set) {
    if (portDefaulted_) {
      Log(lcSettings(), QtInfoMsg,
          std::string(routing::kSettingsPath) + " gives [dial] smtpport again: " + Quote(*set));
    }
    portDefaulted_ = false;
    portSeen_ = true;
    return *set;
  }
  // No settings file at all before anything was set is a fresh start, where
  // port 25 is what the user expects; a file that lost the key is not.
  std::error_code error;
  const bool lost = portSeen_ || std::filesystem::exists(routing::kSettingsPath, error);
  if (lost && !portDefaulted_) {
    Log(lcSettings(), QtWarningMsg,
        std::string(routing::kSettingsPath) + " gives no [dial] smtpport: the relay listens on " +
            "the default port " + routing::kDialSmtpPort.defaultValue);
    portDefaulted_ = true;
  }
  return routing::kDialSmtpPort.defaultValue;
}

std::string TRouteController::RelayLeftAsIs() const {
  return relay_ && relay_->Active() ? "the running relay goes on as it was"
                                    : "nothing is listening for mail";
}

TRouteController::TOutcome TRouteController::ApplyEntryRoute(const std::string& entry) {
  ListeningPort = ReadListeningPort();
  return LookUpEntryRoute(entry, ListeningPort);
}

TRouteController::TOutcome TRouteController::LookUpEntryRoute(const std::string& entry,
                                                              const std::string& listeningPort) {
  routing::TRoute route;
  try {
    route = routing::RouteLookup(store_.ADOQuery3, entry);
  } catch (const routing::EDatabaseError& e) {
    const std::string line =
        "cannot read the route of entry " + Quote(entry) + ": " + OneLine(e.what());
    if (e.Busy) {
      NoteFault(TPassingFault::RouteFile, line);
      // The route itself was never read: the retry reads it, with the
      // listening port read now.
      retry_ = [this, entry, listeningPort] { return LookUpEntryRoute(entry, listeningPort); };
      return TOutcome::TryAgain;
    }
    Log(lcStore(), QtWarningMsg, line);
    return TOutcome::Failed;
  }
  NoteCleared(TPassingFault::RouteFile);
  if (route.server.empty() || route.port.empty()) {
    // The previous upstream may belong to a connection that is gone: the
    // default route is the better guess.
    Log(lcRoute(), QtWarningMsg,
        "entry " + Quote(entry) + " has no complete route (server " + Quote(Shown(route.server)) +
            ", port " + Quote(route.port) + "): using the default route");
    return ApplyDefaultRoute();
  }
  return RestartRelay({listeningPort, route.server, route.port,
                       routing::SettingIsOn(routing::kDialRemoteClients), "entry " + Quote(entry),
                       entry});
}

TRouteController::TOutcome TRouteController::ApplyDefaultRoute() {
  ListeningPort = ReadListeningPort();
  DefaultServer = routing::ReadSetting(routing::kDefaultSmtpServer);
  DefaultPortText = routing::ReadSetting(routing::kDefaultSmtpPort);
  if (DefaultServer.empty() || DefaultPortText.empty()) {
    const bool listening = relay_ && relay_->Active();
    const std::string advice =
        Windowless ? std::string("set a default route in ") + routing::kSettingsPath +
                         " ([default] smtpserver=HOST and smtpport=PORT), then apply it with "
                         "kill -HUP " +
                         std::to_string(getpid())
                   : std::string(
                         "set a default route (server and port) in Config, then "
                         "press Refresh");
    Log(lcRoute(), QtWarningMsg,
        "no complete default route (server " + Quote(DefaultServer) + ", port " +
            Quote(DefaultPortText) + "): " +
            (listening ? std::string("the relay stays as it was")
                       : "nothing is listening for mail; " + advice));
    return TOutcome::Unchanged;
  }
  return RestartRelay({ListeningPort, DefaultServer, DefaultPortText,
                       routing::SettingIsOn(routing::kDialRemoteClients), "default route", ""});
}

namespace {

// A server text the user wrote, fit for one line of the log or of a reply:
// escaped, and cut where it stops being readable.
std::string Readable(const std::string& text) {
  constexpr std::size_t kLongest = 80;
  const std::string escaped = relay::EscapeControls(Shown(text));
  return escaped.size() <= kLongest ? escaped : escaped.substr(0, kLongest) + "...";
}

// Why a server text can never name a server; empty when it can.
std::string ServerTextError(const std::string& server) {
  const std::string error = relay::ParseServerText(server).error;
  if (!error.empty()) return relay::EscapeControls(error);
  for (unsigned char c : server) {
    if (c <= ' ' || c == 0x7f) return "a server name holds no blanks or control characters";
  }
  return {};
}

constexpr const char* kMendIt = "; mend it in Vantelo's Config, then press Refresh";

}  // namespace

bool TRouteController::Serves(const std::string& ip, int listenPort, const std::string& server,
                              int port) const {
  return relay_ && relay_->Active() && relay_->Refusal.empty() && relay_->Bindings.Count() == 1 &&
         relay_->Bindings[0].IP == ip && relay_->Bindings[0].Port == listenPort &&
         relay_->MappedHost == server && relay_->MappedPort == port;
}

relay::TOwnedServer<relay::TMappedPortTCP> TRouteController::NewRelay(int listenPort,
                                                                      bool remoteClients) const {
  auto next = relay::TOwnedServer<relay::TMappedPortTCP>::Make();
  next->ThreadMgr = threadMgr_;
  next->SetDefaultPort(listenPort);
  // Anyone who can reach the port can send mail in the user's name: other
  // computers only when the user asked for them.
  next->Bindings.Add().IP = remoteClients ? "" : kThisComputerOnly;
  return next;
}

void TRouteController::Replace(relay::TOwnedServer<relay::TMappedPortTCP> next,
                               const std::string& route, const std::string& ip, int listenPort) {
  const bool current = relay_ && relay_->Active() && relay_->Bindings.Count() == 1;
  const bool samePort = current && relay_->Bindings[0].Port == listenPort;
  try {
    if (samePort && relay_->Bindings[0].IP == ip) {
      // The socket that listens stays: nobody is refused, and a client that
      // connects meanwhile waits in its backlog for the next relay.
      relay::TListeningSockets sockets = relay_->GiveUpListeners();
      if (!sockets.empty()) {
        next->ActivateOn(std::move(sockets));
      } else {
        next->SetActive(true);  // its listener had failed: nothing to take over
      }
    } else {
      try {
        next->SetActive(true);
      } catch (const std::exception& e) {
        // Another address on the same port cannot be bound beside the old
        // one (only at a change of [dial] remoteclients): the old one goes
        // first.
        if (!samePort) throw;
        Log(lcRoute(), QtInfoMsg,
            "port " + std::to_string(listenPort) +
                " cannot listen on a second address beside the first (" + OneLine(e.what()) +
                "): the old one closes first");
        relay_->GiveUpListeners();  // closed here and now
        // Without the failed attempt's socket, which would forget where it
        // was to listen as it is replaced.
        next->Bindings[0].CloseSocketHandle(true);
        next->Bindings[0].IP = ip;
        next->Bindings[0].Port = listenPort;
        next->SetActive(true);
      }
    }
  } catch (...) {
    reaper_.End(std::move(next));  // stopped off this thread, like any other
    throw;
  }
  relay::TOwnedServer<relay::TMappedPortTCP> previous = std::move(relay_);
  // The old port closes once the new one listens.
  if (previous) previous->GiveUpListeners();
  const std::string previousRoute = std::exchange(relayRoute_, route);
  relay_ = std::move(next);
  if (refreshing_) {
    endedByRefresh_ += reaper_.End(std::move(previous));
    return;
  }
  if (const std::size_t open = reaper_.Drain(std::move(previous), previousRoute)) {
    Log(lcRoute(), QtInfoMsg,
        Sessions(open) + " on the route to " + previousRoute +
            (open == 1 ? " finishes there" : " finish there"));
  }
}

std::string TRouteController::RefuseOnCurrentPort(const std::string& reply) {
  if (!relay_ || !relay_->Active() || relay_->Bindings.Count() != 1) {
    return "nothing is listening for mail";
  }
  const std::string ip = relay_->Bindings[0].IP;
  const int port = relay_->Bindings[0].Port;
  auto next = NewRelay(port, ip.empty());
  next->Refusal = reply;
  const std::string at = (ip.empty() ? std::string("port ") : ip + ":") + std::to_string(port);
  try {
    Replace(std::move(next), "nowhere (" + at + " refuses mail)", ip, port);
  } catch (const std::exception& e) {
    return "mail to " + at + " still goes where it went: " + OneLine(e.what());
  }
  return "mail to " + at + " is answered 421 until then";
}

TRouteController::TOutcome TRouteController::RestartRelay(const TRelayPlan& plan) {
  const std::optional<int> listenPort = routing::TextToPort(plan.listeningPort);
  const std::optional<int> mappedPort = routing::TextToPort(plan.port);
  const std::string serverError = ServerTextError(plan.server);
  const std::string ip = plan.remoteClients ? "" : kThisComputerOnly;
  if (!listenPort) {
    // A bad value of its own does not take down a relay that serves this
    // very upstream; one whose route no longer applies sends nothing more.
    const std::string why = "the listening port " + Quote(Readable(plan.listeningPort)) +
                            " is not a number from 1 to 65535, so the " + plan.routeName +
                            " is not applied";
    std::string outcome;
    if (mappedPort && relay_ && relay_->Active() && relay_->Refusal.empty() &&
        relay_->MappedHost == plan.server && relay_->MappedPort == *mappedPort) {
      outcome = RelayLeftAsIs();
    } else {
      outcome = RefuseOnCurrentPort("421 4.3.5 T" + why.substr(1) + kMendIt);
    }
    Log(lcRoute(), QtWarningMsg, why + ": " + outcome);
    return TOutcome::Failed;
  }
  std::string unusable;  // why this route can never work
  if (!serverError.empty()) {
    unusable = "its server text " + Quote(Readable(plan.server)) + " cannot work: " + serverError;
  } else if (!mappedPort) {
    unusable = "its port " + Quote(Readable(plan.port)) + " is not a number from 1 to 65535";
  }
  const std::string listening =
      plan.remoteClients
          ? "every address, port " + std::to_string(*listenPort) + " (other computers too)"
          : std::string(kThisComputerOnly) + ":" + std::to_string(*listenPort) +
                " (this computer only)";
  const std::string to = Readable(plan.server) + ":" + std::to_string(mappedPort.value_or(0));
  if (unusable.empty() && Serves(ip, *listenPort, plan.server, *mappedPort)) {
    // Nothing would change: the sessions on it go on.
    Log(lcRoute(), QtInfoMsg, "mail still goes to " + to + " (" + plan.routeName + ")");
    return TOutcome::Unchanged;
  }
  auto next = NewRelay(*listenPort, plan.remoteClients);
  next->MappedHost = plan.server;
  next->MappedPort = mappedPort.value_or(0);
  if (hooks_.PasswordsFor) {
    next->Passwords = hooks_.PasswordsFor(plan.entry.empty() ? "default route" : plan.entry);
  }
  if (!unusable.empty())
    next->Refusal = "421 4.3.5 The " + plan.routeName + " cannot be used: " + unusable + kMendIt;
  const std::string route = unusable.empty() ? to + " (" + plan.routeName + ")"
                                             : "nowhere (" + listening + " refuses mail)";
  try {
    Replace(std::move(next), route, ip, *listenPort);
  } catch (const std::exception& e) {
    const std::string reason = OneLine(e.what());
    NoteFault(TPassingFault::Listening,
              "not listening on port " + std::to_string(*listenPort) + ": " + reason);
    // The old port may still serve a route that no longer applies.
    if (relay_ && relay_->Active() && relay_->Refusal.empty() &&
        !(unusable.empty() && relay_->MappedHost == plan.server &&
          relay_->MappedPort == *mappedPort)) {
      RefuseOnCurrentPort("421 4.3.5 Mail for the " + plan.routeName + " waits: port " +
                          std::to_string(*listenPort) + " cannot be listened on: " + reason);
    }
    retry_ = [this, plan] { return RestartRelay(plan); };
    return TOutcome::TryAgain;
  }
  const bool again = fault_ == TPassingFault::Listening;
  NoteCleared(TPassingFault::Listening);
  if (again || listening != listeningOn_) {
    Log(lcRoute(), QtInfoMsg, (again ? "listening again on " : "listening on ") + listening);
    listeningOn_ = listening;
  }
  if (!unusable.empty()) {
    Log(lcRoute(), QtWarningMsg,
        "the " + plan.routeName + " cannot be used: " + unusable + ": mail to " + listening +
            " is answered 421 until it is mended in Config and applied with Refresh");
    return TOutcome::Failed;
  }
  Log(lcRoute(), QtInfoMsg, "mail now goes to " + to + " (" + plan.routeName + ")");
  if (plan.remoteClients && HasLogin(plan.server)) {
    Log(lcRoute(), QtWarningMsg,
        "remoteclients=1: every computer that reaches port " + std::to_string(*listenPort) +
            " sends mail with the login of " + Shown(plan.server) + " (" + plan.routeName + ")");
  }
  return TOutcome::Restarted;
}

void TRouteController::EndEveryRelay() {
  std::size_t ended = reaper_.EndAll();
  if (relay_) ended += reaper_.End(std::move(relay_));
  if (ended > 0) Log(lcRoute(), QtInfoMsg, Sessions(ended) + " still open ended as Vantelo ends");
}

void TRouteController::SetDrainLimits(std::chrono::milliseconds timeLimit,
                                      std::size_t maxDraining) {
  reaper_.SetLimits(timeLimit, maxDraining);
}

void TRouteController::DialUpActiveConnection(const std::string& entryName,
                                              const std::string& statusString) {
  ConnectionStatus = statusString;
  ActiveEntry = entryName;
}

void TRouteController::isilventry(const std::string& entryName) { EntryList.push_back(entryName); }

}  // namespace vantelo::app
