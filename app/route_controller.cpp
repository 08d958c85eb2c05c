#include "app/route_controller.h"

#include <filesystem>
#include <stdexcept>
#include <unistd.h>

#include "logging/log_categories.h"
#include "relay/log_sink.h"
#include "relay/mapped_port/upstream_route.h"
#include "routing/settings.h"
#include "routing/text_rules.h"

namespace vantelo::app {
namespace {

using relay::OneLine;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

// A server text with a user before its host: "starttls://alice@smtp.example.net".
bool HasLogin(const std::string& server) { return !relay::ParseServerText(server).user.empty(); }

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
        "entry " + Quote(entry) + " has no complete route (server " + Quote(route.server) +
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

TRouteController::TOutcome TRouteController::RestartRelay(const TRelayPlan& plan) {
  // Checked before the running relay is touched: a route that cannot work
  // must not take down one that does.
  const std::optional<int> listenPort = routing::TextToPort(plan.listeningPort);
  if (!listenPort) {
    Log(lcRoute(), QtWarningMsg,
        "the listening port " + Quote(plan.listeningPort) +
            " is not a number from 1 to 65535, so the " + plan.routeName +
            " is not applied: " + RelayLeftAsIs());
    return TOutcome::Failed;
  }
  const std::optional<int> mappedPort = routing::TextToPort(plan.port);
  if (!mappedPort) {
    Log(lcRoute(), QtWarningMsg,
        "the port " + Quote(plan.port) + " of the " + plan.routeName +
            " is not a number from 1 to 65535, so it is not applied: " + RelayLeftAsIs());
    return TOutcome::Failed;
  }
  // The old relay is gone before the new one binds the same port.
  relay_.reset();
  relay_ = relay::TOwnedServer<relay::TMappedPortTCP>::Make();
  relay_->ThreadMgr = threadMgr_;
  relay_->SetDefaultPort(*listenPort);
  // Anyone who can reach the port can send mail in the user's name: other
  // computers only when the user asked for them.
  if (!plan.remoteClients) relay_->Bindings.Add().IP = kThisComputerOnly;
  relay_->MappedHost = plan.server;
  relay_->MappedPort = *mappedPort;
  if (hooks_.PasswordsFor) {
    relay_->Passwords = hooks_.PasswordsFor(plan.entry.empty() ? "default route" : plan.entry);
  }
  try {
    relay_->SetActive(true);
  } catch (const std::exception& e) {
    NoteFault(TPassingFault::Listening,
              "not listening on port " + std::to_string(*listenPort) + ": " + OneLine(e.what()));
    retry_ = [this, plan] { return RestartRelay(plan); };
    return TOutcome::TryAgain;
  }
  const bool again = fault_ == TPassingFault::Listening;
  NoteCleared(TPassingFault::Listening);
  const std::string listening =
      plan.remoteClients
          ? "every address, port " + std::to_string(*listenPort) + " (other computers too)"
          : std::string(kThisComputerOnly) + ":" + std::to_string(*listenPort) +
                " (this computer only)";
  if (again || listening != listeningOn_) {
    Log(lcRoute(), QtInfoMsg, (again ? "listening again on " : "listening on ") + listening);
    listeningOn_ = listening;
  }
  Log(lcRoute(), QtInfoMsg,
      "mail now goes to " + plan.server + ":" + std::to_string(*mappedPort) + " (" +
          plan.routeName + ")");
  if (plan.remoteClients && HasLogin(plan.server)) {
    Log(lcRoute(), QtWarningMsg,
        "remoteclients=1: every computer that reaches port " + std::to_string(*listenPort) +
            " sends mail with the login of " + plan.server + " (" + plan.routeName + ")");
  }
  return TOutcome::Restarted;
}

void TRouteController::DialUpActiveConnection(const std::string& entryName,
                                              const std::string& statusString) {
  ConnectionStatus = statusString;
  ActiveEntry = entryName;
}

void TRouteController::isilventry(const std::string& entryName) { EntryList.push_back(entryName); }

}  // namespace vantelo::app
