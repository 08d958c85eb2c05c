#include "app/route_controller.h"

#include <stdexcept>

#include "logging/log_categories.h"
#include "relay/log_sink.h"
#include "routing/settings.h"
#include "routing/text_rules.h"

namespace vantelo::app {
namespace {

using relay::OneLine;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

void Log(const QLoggingCategory& category, QtMsgType type, const std::string& line) {
  if (type == QtInfoMsg) {
    qCInfo(category, "%s", line.c_str());
  } else {
    qCWarning(category, "%s", line.c_str());
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
  if (outcome == TOutcome::TryAgain) {
    retry_ = apply;
    retryAt_ = Now() + kRetryInterval;
  } else if (outcome != TOutcome::Restarted) {
    // Nothing is retried now, so nothing is left to clear.
    fault_ = TPassingFault::None;
  }
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

TRouteController::TOutcome TRouteController::ApplyEntryRoute(const std::string& entry) {
  ListeningPort = routing::ReadSetting(routing::kDialSmtpPort);
  routing::TRoute route;
  try {
    route = routing::RouteLookup(store_.ADOQuery3, entry);
  } catch (const routing::EDatabaseError& e) {
    const std::string line = "cannot read the route of entry " + Quote(entry) + ": " + OneLine(e.what());
    if (e.Busy) {
      NoteFault(TPassingFault::RouteFile, line);
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
  return RestartRelay(route.server, route.port, "entry " + Quote(entry));
}

TRouteController::TOutcome TRouteController::ApplyDefaultRoute() {
  ListeningPort = routing::ReadSetting(routing::kDialSmtpPort);
  DefaultServer = routing::ReadSetting(routing::kDefaultSmtpServer);
  DefaultPortText = routing::ReadSetting(routing::kDefaultSmtpPort);
  if (DefaultServer.empty() || DefaultPortText.empty()) {
    Log(lcRoute(), QtWarningMsg,
        "no complete default route (server " + Quote(DefaultServer) + ", port " +
            Quote(DefaultPortText) + "): the relay stays as it was");
    return TOutcome::Unchanged;
  }
  return RestartRelay(DefaultServer, DefaultPortText, "default route");
}

TRouteController::TOutcome TRouteController::RestartRelay(const std::string& server,
                                                          const std::string& port,
                                                          const std::string& routeName) {
  // The old relay is gone before the new one binds the same port.
  relay_.reset();
  relay_ = relay::TOwnedServer<relay::TMappedPortTCP>::Make();
  relay_->ThreadMgr = threadMgr_;
  const std::optional<int> listenPort = routing::TextToPort(ListeningPort);
  if (!listenPort) {
    Log(lcRoute(), QtWarningMsg,
        "not listening: the listening port " + Quote(ListeningPort) +
            " is not a number from 1 to 65535");
    return TOutcome::Failed;
  }
  relay_->SetDefaultPort(*listenPort);
  // Anyone who can reach the port can send mail in the user's name: other
  // computers only when the user asked for them.
  const bool remoteClients = routing::SettingIsOn(routing::kDialRemoteClients);
  if (!remoteClients) relay_->Bindings.Add().IP = kThisComputerOnly;
  relay_->MappedHost = server;
  const std::optional<int> mappedPort = routing::TextToPort(port);
  if (!mappedPort) {
    Log(lcRoute(), QtWarningMsg,
        "not listening: the port " + Quote(port) + " of the " + routeName +
            " is not a number from 1 to 65535");
    return TOutcome::Failed;
  }
  relay_->MappedPort = *mappedPort;
  try {
    relay_->SetActive(true);
  } catch (const std::exception& e) {
    NoteFault(TPassingFault::Listening,
              "not listening on port " + std::to_string(*listenPort) + ": " + OneLine(e.what()));
    return TOutcome::TryAgain;
  }
  const bool again = fault_ == TPassingFault::Listening;
  NoteCleared(TPassingFault::Listening);
  const std::string listening =
      remoteClients ? "every address, port " + std::to_string(*listenPort) + " (other computers too)"
                    : std::string(kThisComputerOnly) + ":" + std::to_string(*listenPort) +
                          " (this computer only)";
  if (again || listening != listeningOn_) {
    Log(lcRoute(), QtInfoMsg, (again ? "listening again on " : "listening on ") + listening);
    listeningOn_ = listening;
  }
  Log(lcRoute(), QtInfoMsg,
      "mail now goes to " + server + ":" + std::to_string(*mappedPort) + " (" + routeName + ")");
  return TOutcome::Restarted;
}

void TRouteController::DialUpActiveConnection(const std::string& entryName,
                                              const std::string& statusString) {
  ConnectionStatus = statusString;
  ActiveEntry = entryName;
}

void TRouteController::isilventry(const std::string& entryName) {
  EntryList.push_back(entryName);
}

}  // namespace vantelo::app
