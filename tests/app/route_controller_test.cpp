// The route controller with its real parts: the dial-up monitor against the
// NetworkManager mock on a private bus, real relays on loopback, a real route
// file and settings file in a temporary working folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "dialup/dial_up.h"
#include "dialup/network_manager_source.h"
#include "routing/route_controller.h"
#include "tests/dialup/nm_mock.h"
#include "tests/relay/loopback_peers.h"
#include "tests/routing/temp_folder.h"

using namespace vantelo;
using namespace vantelo::testkit;
using routing::TRouteController;

namespace {

class RouteController : public InTempFolder {
 protected:
  void SetUp() override {
    InTempFolder::SetUp();
    routing::CreateRouteDatabase(".");
    {
      Listener probe;
      listenPort = probe.Port();
    }
    nm = std::make_unique<NetworkManagerMock>();
    eth = nm->AddDevice("eth0", "eth0");
    std::vector<std::unique_ptr<dialup::TConnectionSource>> sources;
    sources.push_back(std::make_unique<dialup::TNetworkManagerSource>());
    dialUp = std::make_unique<dialup::TDialUp>(std::move(sources));
    dialUp->OnActiveConnection = [this](dialup::TDialUp*, int, const dialup::TRasConnStatus&,
                                        const std::string& status, const std::string& name,
                                        const std::string&, const std::string&) {
      controller->DialUpActiveConnection(name, status);
    };
    relay = relay::TOwnedServer<relay::TMappedPortTCP>::Make();
    controller = std::make_unique<TRouteController>(
        store, relay, manager,
        TRouteController::THooks{[this] { dialUp->GetActiveConnections(); },
                                 [this] { ++listRebuilds; },
                                 [this](bool shown) { noticeShown = shown; }});
  }
  void TearDown() override {
    controller.reset();
    relay.reset();
    nm.reset();
    InTempFolder::TearDown();
  }

  void Settings(const std::string& server, const std::string& port) {
    std::ofstream("config/config.ini") << "[dial]\nsmtpport=" << listenPort
                                       << "\n[default]\nsmtpserver=" << server
                                       << "\nsmtpport=" << port << "\n";
  }
  void Route(const std::string& entry, const Listener& upstream) {
    routing::TADOQuery query(store.ADOConnection1);
    routing::writesmtp(query, store.ADOCommand1, entry, "127.0.0.1",
                       std::to_string(upstream.Port()));
  }
  // Which upstream a new connection to the listening port reaches: 'A', 'B',
  // 'C', '-' when nothing listens, '?' when it is accepted but goes nowhere.
  char Served(int port = 0) {
    Fd client = ConnectTo(port ? port : listenPort);
    if (!client) return '-';
    for (auto& [name, upstream] : {std::pair{'A', &a}, std::pair{'B', &b}, std::pair{'C', &c}}) {
      if (Fd accepted = upstream->Accept(150)) return name;
    }
    return '?';
  }

  int listenPort = 0;
  Listener a, b, c;
  std::unique_ptr<NetworkManagerMock> nm;
  QString eth;
  routing::TRouteStore store;
  std::shared_ptr<relay::TThreadMgrDefault> manager = std::make_shared<relay::TThreadMgrDefault>();
  relay::TOwnedServer<relay::TMappedPortTCP> relay;
  std::unique_ptr<dialup::TDialUp> dialUp;
  std::unique_ptr<TRouteController> controller;
  int listRebuilds = 0;
  bool noticeShown = false;
};

TEST_F(RouteController, CompleteDefaultRouteIsAppliedAtTheFirstTickOnly) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "--");
  EXPECT_EQ(Served(), 'A');
  relay::TMappedPortTCP* first = relay.get();
  controller->Timer3Timer();
  EXPECT_EQ(relay.get(), first);  // no restart while nothing changes
  EXPECT_EQ(listRebuilds, 0);
}

TEST_F(RouteController, WithoutADefaultRouteNothingListensUntilRefresh) {
  Settings("", "");
  controller->Timer3Timer();
  EXPECT_EQ(Served(), '-');
  Settings("127.0.0.1", std::to_string(a.Port()));
  controller->Timer3Timer();
  EXPECT_EQ(Served(), '-');  // applied once already; waits for Refresh
  controller->SpeedButton2Click();
  EXPECT_EQ(Served(), 'A');
}

TEST_F(RouteController, AnEntryConnectingThenEndingSwitchesTheRelay) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  Route("Work VPN", b);
  QString vpn = nm->AddProfile("Work VPN", "vpn");
  controller->Timer3Timer();
  EXPECT_EQ(Served(), 'A');

  QString active = nm->Activate(eth, vpn, "4", 2);
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "Work VPN");
  EXPECT_EQ(controller->ConnectionStatus, "Connected");
  EXPECT_EQ(Served(), 'B');
  EXPECT_EQ(listRebuilds, 1);
  controller->Timer3Timer();
  EXPECT_EQ(listRebuilds, 1);

  nm->Deactivate(eth, active);
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "--");
  EXPECT_EQ(listRebuilds, 2);
  EXPECT_EQ(Served(), 'A');
}

TEST_F(RouteController, ActivatingOrUnroutedConnectionsKeepThePreviousRelay) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  Route("Work VPN", b);
  QString vpn = nm->AddProfile("Work VPN", "vpn");
  QString other = nm->AddProfile("No Route", "gsm");
  controller->Timer3Timer();
  relay::TMappedPortTCP* first = relay.get();

  QString dialling = nm->Activate(eth, vpn, "4", 1);  // still activating
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "Work VPN");
  EXPECT_NE(controller->ConnectionStatus, "Connected");
  EXPECT_EQ(relay.get(), first);

  nm->Deactivate(eth, dialling);
  nm->Activate(eth, other, "5", 2);  // connected, but no row for it
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "No Route");
  EXPECT_EQ(controller->RouteApplied, 1);
  EXPECT_EQ(Served(), 'A');
}

TEST_F(RouteController, TheConnectionReportedLastDecides) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  Route("Work VPN", b);
  Route("Mobile", c);
  QString vpn = nm->AddProfile("Work VPN", "vpn");
  QString mobile = nm->AddProfile("Mobile", "gsm");
  QString modem = nm->AddDevice("wwan0", "wwan0");
  nm->Activate(eth, vpn, "4", 2);
  nm->Activate(modem, mobile, "6", 2);
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "Mobile");
  EXPECT_EQ(Served(), 'C');
}

TEST_F(RouteController, AnEntryReplacedWithoutATickBetweenWaitsForRefresh) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  Route("Work VPN", b);
  Route("Mobile", c);
  QString vpn = nm->AddProfile("Work VPN", "vpn");
  QString mobile = nm->AddProfile("Mobile", "gsm");
  QString active = nm->Activate(eth, vpn, "4", 2);
  controller->Timer3Timer();
  EXPECT_EQ(Served(), 'B');

  nm->Deactivate(eth, active);
  nm->Activate(eth, mobile, "6", 2);
  controller->Timer3Timer();
  EXPECT_EQ(controller->ActiveEntry, "Mobile");
  EXPECT_EQ(Served(), 'B');
  EXPECT_EQ(listRebuilds, 1);
  controller->SpeedButton2Click();
  EXPECT_EQ(Served(), 'C');
}

TEST_F(RouteController, ARouteSavedWhileConnectedWaitsForRefreshWithTheNotice) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  Route("Work VPN", b);
  nm->Activate(eth, nm->AddProfile("Work VPN", "vpn"), "4", 2);
  controller->Timer3Timer();
  EXPECT_EQ(Served(), 'B');
  EXPECT_FALSE(noticeShown);

  Route("Work VPN", c);
  controller->ConfigChanged = 1;  // as the configuration dialog does when it saves
  controller->Timer3Timer();
  EXPECT_TRUE(noticeShown);
  EXPECT_EQ(Served(), 'B');
  controller->SpeedButton2Click();
  EXPECT_EQ(controller->ConfigChanged, 0);
  EXPECT_EQ(Served(), 'C');
  controller->Timer3Timer();
  EXPECT_FALSE(noticeShown);
}

TEST_F(RouteController, APortThatDoesNotConvertLeavesNothingListening) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  routing::TADOQuery query(store.ADOConnection1);
  routing::writesmtp(query, store.ADOCommand1, "Work VPN", "127.0.0.1",
                     std::to_string(b.Port()) + " ");
  nm->Activate(eth, nm->AddProfile("Work VPN", "vpn"), "4", 2);
  controller->Timer3Timer();
  EXPECT_EQ(Served(), '-');
  EXPECT_EQ(controller->RouteApplied, 1);
}

TEST_F(RouteController, AChangedListeningPortCountsFromTheNextRestart) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  controller->Timer3Timer();
  const int oldPort = listenPort;
  {
    Listener probe;
    listenPort = probe.Port();
  }
  Settings("127.0.0.1", std::to_string(a.Port()));
  controller->Timer3Timer();
  EXPECT_EQ(Served(oldPort), 'A');
  EXPECT_EQ(Served(listenPort), '-');
  controller->SpeedButton2Click();
  EXPECT_EQ(Served(oldPort), '-');
  EXPECT_EQ(Served(listenPort), 'A');
}

TEST_F(RouteController, OnlyTheExactStatusTextCountsAsConnected) {
  Settings("127.0.0.1", std::to_string(a.Port()));
  Route("Work VPN", b);
  std::string reported;
  TRouteController byHand(store, relay, manager,
                          {[&] { byHand.DialUpActiveConnection("Work VPN", reported); },
                           nullptr, nullptr});
  for (const char* almost : {"connected", "CONNECTED", "Connected ", "Connected."}) {
    reported = almost;
    byHand.Timer3Timer();
    EXPECT_EQ(byHand.RouteApplied, 0) << almost;
  }
  EXPECT_EQ(Served(), 'A');
  reported = "Connected";
  byHand.Timer3Timer();
  EXPECT_EQ(Served(), 'B');
}

}  // namespace
