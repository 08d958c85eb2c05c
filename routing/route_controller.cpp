#include "routing/route_controller.h"

#include <climits>
#include <cstdint>
#include <stdexcept>

#include "routing/settings.h"
#include "routing/text_rules.h"

namespace vantelo::routing {

TRouteController::TRouteController(TRouteStore& store,
                                   relay::TOwnedServer<relay::TMappedPortTCP>& relay,
                                   std::shared_ptr<relay::TThreadMgrDefault> threadMgr,
                                   THooks hooks)
    : store_(store), relay_(relay), threadMgr_(std::move(threadMgr)), hooks_(std::move(hooks)) {}

void TRouteController::Guarded(const std::function<void()>& body) {
  try {
    body();
  } catch (...) {
    // Stops silently where it failed; what was done before stays.
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
      if (RouteApplied == 0) {
        executesmtp(ActiveEntry);
        if (hooks_.updatesmtp) hooks_.updatesmtp();
        RouteApplied = 1;
      }
    } else {
      if (RouteApplied == 1) {
        RouteApplied = 0;
        if (hooks_.updatesmtp) hooks_.updatesmtp();
      }
      if (DefaultApplied == 0) {
        executedefaultsmtp();
        DefaultApplied = 1;
      }
    }
  });
}

void TRouteController::SpeedButton2Click() {
  Guarded([this] {
    if (ConnectionStatus == kConnectedStatus) {
      executesmtp(ActiveEntry);
      RouteApplied = 1;
      DefaultApplied = 0;
    } else {
      executedefaultsmtp();
      DefaultApplied = 1;
      RouteApplied = 0;
    }
    ConfigChanged = 0;
  });
}

void TRouteController::executesmtp(const std::string& entry) {
  Guarded([&] {
    ListeningPort = ReadSetting(kDialSmtpPort);
    TRoute route = RouteLookup(store_.ADOQuery3, entry);
    if (route.server.empty() || route.port.empty()) return;
    RestartRelay(route.server, route.port);
  });
}

void TRouteController::executedefaultsmtp() {
  Guarded([this] {
    ListeningPort = ReadSetting(kDialSmtpPort);
    DefaultServer = ReadSetting(kDefaultSmtpServer);
    DefaultPortText = ReadSetting(kDefaultSmtpPort);
    if (DefaultServer.empty() || DefaultPortText.empty()) return;
    RestartRelay(DefaultServer, DefaultPortText);
  });
}

void TRouteController::RestartRelay(const std::string& server, const std::string& port) {
  // The old relay is gone before the new one binds the same port.
  relay_.reset();
  relay_ = relay::TOwnedServer<relay::TMappedPortTCP>::Make();
  relay_->ThreadMgr = threadMgr_;
  std::optional<int> listenPort = TextToPort(ListeningPort);
  if (!listenPort) throw std::invalid_argument("listening port");
  relay_->SetDefaultPort(*listenPort);
  relay_->MappedHost = server;
  std::optional<int> mappedPort = TextToPort(port);
  if (!mappedPort) throw std::invalid_argument("route port");
  relay_->MappedPort = *mappedPort;
  relay_->SetActive(true);
}

void TRouteController::DialUpActiveConnection(const std::string& entryName,
                                              const std::string& statusString) {
  ConnectionStatus = statusString;
  ActiveEntry = entryName;
}

void TRouteController::isilventry(const std::string& entryName) {
  EntryList.push_back(entryName);
}

}  // namespace vantelo::routing
