// The dial-up monitor: status texts, the pppd source on temporary folders,
// the enumeration rules, and NetworkManager through its mock on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <QDBusObjectPath>
#include <QTest>
#include <QtGlobal>

#include "dialup/dial_up.h"
#include "dialup/network_manager_source.h"
#include "dialup/pppd_source.h"
#include "tests/testkit/program_log_capture.h"
#include "tests/testkit/nm_mock.h"

using namespace vantelo::dialup;
using vantelo::testkit::NetworkManagerMock;
using vantelo::testkit::ProgramLogCapture;
namespace fs = std::filesystem;

namespace {

// What the two events reported.
struct Reports {
  std::vector<std::string> entries;
  std::vector<std::string> lines;  // "NAME|STATUS|TYPE|DEVICE"
  std::vector<int> handles;
  void Attach(TDialUp& d) {
    d.OnEntryGet = [this](TDialUp*, const std::string& name) { entries.push_back(name); };
    d.OnActiveConnection = [this](TDialUp*, int handle, const TRasConnStatus&,
                                  const std::string& status, const std::string& name,
                                  const std::string& type, const std::string& device) {
      handles.push_back(handle);
      lines.push_back(name + "|" + status + "|" + type + "|" + device);
    };
  }
};

// Folders standing in for /etc/ppp/peers, /proc, /run and /sys/class/net, so
// that no test reads the machine's (a pppd running here must not count).
class MachineRoots {
 public:
  MachineRoots() {
    std::string pattern = (fs::temp_directory_path() / "vantelo-ppp-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    for (const char* d : {"peers", "proc", "run", "net"}) fs::create_directories(root_ / d);
  }
  ~MachineRoots() { fs::remove_all(root_); }
  const fs::path& Root() const { return root_; }
  TPppdPaths Paths() const {
    return {(root_ / "peers").string(), (root_ / "proc").string(), (root_ / "run").string(),
            (root_ / "net").string()};
  }
  // The monitor as the program builds it, NetworkManager then pppd, on these roots.
  std::unique_ptr<TDialUp> Monitor() const {
    std::vector<std::unique_ptr<TConnectionSource>> sources;
    sources.push_back(std::make_unique<TNetworkManagerSource>());
    sources.push_back(std::make_unique<TPppdSource>(Paths()));
    return std::make_unique<TDialUp>(std::move(sources));
  }
  void File(const fs::path& relative, const std::string& text) const {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << text;
  }
  void Process(int pid, const std::vector<std::string>& argv) const {
    std::string cmdline;
    for (auto& a : argv) cmdline += a + '\0';
    File(fs::path("proc") / std::to_string(pid) / "cmdline", cmdline);
  }

 private:
  fs::path root_;
};

TEST(StatusText, TablesAndTheErrorRule) {
  EXPECT_EQ(StatusText(English, 0x2000, 0), "Connected");
  EXPECT_EQ(StatusText(English, 5, 0), "Start authenticating");
  EXPECT_EQ(StatusText(English, 19, 0), "Start authentication");
  EXPECT_EQ(StatusText(English, 0x1001, 0), "Retry Authentication");
  for (std::uint32_t unknown : {22u, 23u, 0x1004u, kStateUnknown}) {
    EXPECT_EQ(StatusText(English, unknown, 0), "") << unknown;
  }
  EXPECT_EQ(StatusText(English, 0x2000, 26), "No carrier could be established");
  EXPECT_EQ(StatusText(English, 0x2000, 9999), "Connection failed (error 9999)");
  EXPECT_EQ(StatusText(Czech, 0x2000, 0), "Připojeno");
  for (std::uint32_t code : {0u, 14u, 21u, 0x1003u, 0x2001u}) {
    EXPECT_FALSE(StateText(Czech, code).empty());
    EXPECT_NE(StateText(Czech, code), StateText(English, code));
  }
}

TEST(CutAtCharacter, NeverSplitsACharacter) {
  EXPECT_EQ(CutAtCharacter(std::string(256, 'a'), 256).size(), 256u);
  std::string name = std::string(255, 'a') + "é";  // é is two bytes, ending at 257
  EXPECT_EQ(CutAtCharacter(name, 256), std::string(255, 'a'));
  EXPECT_EQ(CutAtCharacter("abc", 2), "ab");
}

// A source that reports what it is given.
struct FixedSource : TConnectionSource {
  std::vector<std::string> entries;
  std::vector<TRasConnection> connections;
  std::vector<std::string> Entries() override { return entries; }
  std::vector<TRasConnection> ActiveConnections(bool) override { return connections; }
};

TEST(DialUp, SourcesAreConcatenatedInOrderAndTooManyReportNothing) {
  auto first = std::make_unique<FixedSource>();
  auto second = std::make_unique<FixedSource>();
  FixedSource* a = first.get();
  FixedSource* b = second.get();
  a->entries = {"VPN", "Mobile"};
  b->entries = {"isp", std::string(300, 'y')};
  a->connections = {{7, "VPN", {0x2000, 0, "vpn", "tun0"}, ""}};
  b->connections = {{99, std::string(300, 'x'), {2, 0, "modem-with-a-long-type", "ppp0"}, ""}};
  std::vector<std::unique_ptr<TConnectionSource>> sources;
  sources.push_back(std::move(first));
  sources.push_back(std::move(second));
  TDialUp dialUp(std::move(sources));
  Reports r;
  r.Attach(dialUp);

  EXPECT_EQ(dialUp.GetEntries(), 0);
  // Names are kept whole, however long; device texts keep their bounds.
  EXPECT_EQ(r.entries, (std::vector<std::string>{"VPN", "Mobile", "isp", std::string(300, 'y')}));
  EXPECT_EQ(dialUp.Entries(), r.entries);
  EXPECT_EQ(dialUp.GetActiveConnections(), 0);
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0], "VPN|Connected|vpn|tun0");
  EXPECT_EQ(r.lines[1], std::string(300, 'x') + "|Connecting device|modem-with-a-lon|ppp0");
  EXPECT_EQ(r.handles, (std::vector<int>{7, 99}));

  b->entries.assign(99, "e");  // 101 in all
  r.entries.clear();
  EXPECT_EQ(dialUp.GetEntries(), kErrorBufferTooSmall);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(dialUp.Entries().empty());
  b->connections.assign(100, TRasConnection{});
  r.lines.clear();
  EXPECT_EQ(dialUp.GetActiveConnections(), kErrorBufferTooSmall);
  EXPECT_TRUE(r.lines.empty());
}

class Pppd : public ::testing::Test {
 protected:
  void File(const fs::path& p, const std::string& text) {
    machine.File(p.lexically_relative(root), text);
  }
  void Process(int pid, const std::vector<std::string>& argv) { machine.Process(pid, argv); }
  TPppdSource Source() { return TPppdSource(machine.Paths()); }
  MachineRoots machine;
  fs::path root = machine.Root();
};

TEST_F(Pppd, PeersAreSortedWithoutHiddenFilesOrLeftovers) {
  for (const char* n : {"zeta", "alpha", ".hidden", "old~", "isp.bak", "isp.dpkg-old", "Mid"}) {
    File(root / "peers" / n, "noauth\n");
  }
  fs::create_directory(root / "peers" / "folder");
  EXPECT_EQ(Source().Entries(), (std::vector<std::string>{"Mid", "alpha", "zeta"}));
  EXPECT_TRUE(TPppdSource({"/nonexistent", "/nonexistent", "/nonexistent", "/nonexistent"})
                  .Entries()
                  .empty());
}

// A peers folder that cannot be read used to list nothing without a word,
// like a machine without pppd.
TEST_F(Pppd, APeersFolderThatCannotBeReadIsLoggedWhenItStartsAndClears) {
  ProgramLogCapture log;
  TPppdSource source = Source();
  const std::string peers = (root / "peers").string();
  fs::remove(root / "peers");
  EXPECT_TRUE(source.Entries().empty());  // missing: no peers, nothing to say
  File(root / "peers", "a file, not a folder\n");
  EXPECT_TRUE(source.Entries().empty());
  EXPECT_TRUE(source.Entries().empty());
  fs::remove(root / "peers");
  File(root / "peers" / "isp", "noauth\n");
  EXPECT_EQ(source.Entries(), (std::vector<std::string>{"isp"}));
  EXPECT_EQ(source.Entries(), (std::vector<std::string>{"isp"}));
  EXPECT_EQ(log.TakeFrom("vantelo.dialup"),
            (std::vector<std::string>{"cannot read the pppd peers folder " + peers +
                                          ": Not a directory; its peers are not listed",
                                      "the pppd peers folder " + peers + " can be read again"}));
}

TEST_F(Pppd, RunningPppdProcessesAreReportedWithTheirInterfaces) {
  Process(101, {"/usr/sbin/pppd", "call", "provider"});
  Process(102, {"pppd", "/dev/ttyUSB0", "linkname", "mobile", "call", "gsm"});
  Process(103, {"pppd", "linkname", "dsl"});
  Process(104, {"pppd", "nodetach"});
  Process(105, {"/usr/bin/bash", "call", "x"});
  File(root / "run" / "ppp0.pid", "101\n");
  File(root / "run" / "ppp-dsl.pid", "103\nppp1\n");
  File(root / "net" / "ppp0" / "flags", "0x10d1\n");  // up and running
  File(root / "net" / "ppp1" / "flags", "0x1090\n");  // not up
  std::vector<TRasConnection> found = Source().ActiveConnections(true);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].EntryName, "provider");
  EXPECT_EQ(found[0].Handle, 101);
  EXPECT_EQ(found[0].Status.DeviceName, "ppp0");
  EXPECT_EQ(found[0].Status.State, kStateConnected);
  EXPECT_EQ(found[0].Status.DeviceType, "modem");
  EXPECT_EQ(found[1].EntryName, "gsm");
  EXPECT_EQ(found[1].Status.DeviceName, "");
  EXPECT_EQ(found[1].Status.State, kStateConnectDevice);
  EXPECT_EQ(found[2].EntryName, "dsl");
  EXPECT_EQ(found[2].Status.DeviceName, "ppp1");
  EXPECT_EQ(found[2].Status.State, kStateConnectDevice);
  EXPECT_EQ(found[3].EntryName, "pppd");
}

// NetworkManager starts its own pppd for PPPoE, ADSL and modems; reported
// again as "pppd", it came last and so decided the active entry.
TEST_F(Pppd, APppdOfNetworkManagerIsNotReportedButOnesOfTheUserAre) {
  Process(201, {"/usr/sbin/pppd", "nodetach", "lock", "plugin",
                "/usr/lib/x86_64-linux-gnu/pppd/2.4.9/nm-pppd-plugin.so", "ipparam",
                "/org/freedesktop/NetworkManager/PPP/1"});
  Process(202, {"/usr/sbin/pppd", "plugin", "rp-pppoe.so", "nic-eth0", "call", "dsl-provider"});
  File(root / "proc" / "99999999999" / "cmdline", std::string("pppd\0", 5));  // not a pid
  std::vector<TRasConnection> found = Source().ActiveConnections(true);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].EntryName, "dsl-provider");
}

// ---- NetworkManager --------------------------------------------------------

TEST(NetworkManager, AnAbsentServiceGivesNothingAtOnce) {
  MachineRoots machine;
  auto monitor = machine.Monitor();
  TDialUp& dialUp = *monitor;
  Reports r;
  r.Attach(dialUp);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dialUp.GetEntries(), 0);
  EXPECT_EQ(dialUp.GetActiveConnections(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(r.lines.empty());
}

TEST(NetworkManager, OnlyDialUpProfilesAreEntriesInTheirOrder) {
  NetworkManagerMock nm;
  nm.AddProfile("Office LAN", "802-3-ethernet");
  nm.AddProfile("Work VPN", "vpn");
  nm.AddProfile("Home Wi-Fi", "802-11-wireless");
  nm.AddProfile("Mobile", "gsm");
  nm.AddProfile("Tunnel", "wireguard");
  nm.AddProfile("DSL", "pppoe");
  TNetworkManagerSource source;
  EXPECT_EQ(source.Entries(), (std::vector<std::string>{"Work VPN", "Mobile", "Tunnel", "DSL"}));
}

TEST(NetworkManager, ActiveConnectionsCarryTheirStatus) {
  NetworkManagerMock nm;
  QString eth = nm.AddDevice("eth0", "eth0");
  QString modem = nm.AddDevice("wwan0", "wwp0s20");
  QString lan = nm.AddProfile("Office LAN", "802-3-ethernet");
  QString vpn = nm.AddProfile("Work VPN", "vpn");
  QString gsm = nm.AddProfile("Mobile", "gsm");
  nm.Activate(eth, lan, "1", 2);
  QString vpnActive = nm.Activate(eth, vpn, "5", 2);
  QString gsmActive = nm.Activate(modem, gsm, "7", 1);
  // The mock marks a device activated; make the modem still configuring IP.
  nm.SetProperty(modem, "org.freedesktop.NetworkManager.Device", "State", QVariant::fromValue(70u));

  MachineRoots machine;
  auto monitor = machine.Monitor();
  TDialUp& dialUp = *monitor;
  Reports r;
  r.Attach(dialUp);
  EXPECT_EQ(dialUp.GetActiveConnections(), 0);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"Work VPN|Connected|vpn|eth0",
                                               "Mobile|Authentication: projecting|gsm|wwp0s20"}));
  EXPECT_EQ(r.handles, (std::vector<int>{5, 7}));

  nm.SetProperty(vpnActive, "org.freedesktop.NetworkManager.Connection.Active", "State",
                 QVariant::fromValue(4u));
  nm.SetProperty(modem, "org.freedesktop.NetworkManager.Device", "State",
                 QVariant::fromValue(120u));
  r.lines.clear();
  dialUp.GetActiveConnections();
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0], "Work VPN|Disconnected|vpn|eth0");
  EXPECT_NE(r.lines[1].find("Mobile|"), std::string::npos);
  EXPECT_EQ(r.lines[1].find("Mobile|Authentication"), std::string::npos);  // an error text now

  nm.Deactivate(modem, gsmActive);
  r.lines.clear();
  dialUp.GetActiveConnections();
  EXPECT_EQ(r.lines, (std::vector<std::string>{"Work VPN|Disconnected|vpn|eth0"}));
}

// Runs Qt's event loop until the monitor has said `times` times in all that
// the connections changed, for at most 5 s.
bool ToldOf(const int& told, int times) {
  return QTest::qWaitFor([&] { return told >= times; }, 5000);
}

const QString kManager = "/org/freedesktop/NetworkManager";
const QString kManagerIface = "org.freedesktop.NetworkManager";
const QString kActiveIface = "org.freedesktop.NetworkManager.Connection.Active";
const QString kProperties = "org.freedesktop.DBus.Properties";

// The monitor used to learn of a change only when asked at the next tick, up
// to a second late. The mock's own changes, then signals as a real
// NetworkManager sends them: StateChanged, and the standard PropertiesChanged
// only.
TEST(NetworkManager, ItsChangeSignalsAreToldAndOtherChangesAreNot) {
  NetworkManagerMock nm;
  QString eth = nm.AddDevice("eth0", "eth0");
  QString vpn = nm.AddProfile("Work VPN", "vpn");
  MachineRoots machine;
  auto monitor = machine.Monitor();
  int told = 0;
  monitor->OnConnectionsChanged = [&](TDialUp* sender) {
    EXPECT_EQ(sender, monitor.get());
    ++told;
  };
  monitor->GetActiveConnections();  // connects to the bus
  EXPECT_EQ(told, 0);

  QString active = nm.Activate(eth, vpn, "5", 1);
  ASSERT_TRUE(ToldOf(told, 1));
  told = 0;
  nm.SetProperty(active, kActiveIface, "State", QVariant::fromValue(2u));
  ASSERT_TRUE(ToldOf(told, 1));
  told = 0;
  nm.EmitSignal(active, kActiveIface, "StateChanged", "uu", {2u, 0u});
  ASSERT_TRUE(ToldOf(told, 1));
  told = 0;
  nm.EmitSignal(kManager, kProperties, "PropertiesChanged", "sa{sv}as",
                {kManagerIface,
                 QVariantMap{{"PrimaryConnection", QVariant::fromValue(QDBusObjectPath(active))}},
                 QStringList{}});
  ASSERT_TRUE(ToldOf(told, 1));

  // Changes that say nothing about the active connections, then one that
  // does: signals of one sender arrive in order, so a single call means the
  // first ones said nothing.
  told = 0;
  nm.EmitSignal(kManager, kProperties, "PropertiesChanged", "sa{sv}as",
                {kManagerIface, QVariantMap{{"Connectivity", 4u}}, QStringList{}});
  nm.EmitSignal(kManager, kManagerIface, "PropertiesChanged", "a{sv}",
                {QVariantMap{{"Connectivity", 4u}}});
  nm.EmitSignal(active, kProperties, "PropertiesChanged", "sa{sv}as",
                {kActiveIface, QVariantMap{{"Default", true}}, QStringList{}});
  nm.SetProperty(eth, "org.freedesktop.NetworkManager.Device", "State", QVariant::fromValue(70u));
  nm.EmitSignal(active, kActiveIface, "StateChanged", "uu", {4u, 0u});
  ASSERT_TRUE(ToldOf(told, 1));
  EXPECT_EQ(told, 1);
}

TEST(NetworkManager, AServiceThatStopsAnsweringCostsAtMostItsBudget) {
  NetworkManagerMock nm;
  QString eth = nm.AddDevice("eth0", "eth0");
  nm.Activate(eth, nm.AddProfile("Work VPN", "vpn"), "5", 2);
  MachineRoots machine;
  auto monitor = machine.Monitor();
  TDialUp& dialUp = *monitor;
  Reports r;
  r.Attach(dialUp);
  ProgramLogCapture log;
  dialUp.GetActiveConnections();
  EXPECT_EQ(r.lines.size(), 1u);
  nm.Pause();
  auto start = std::chrono::steady_clock::now();
  dialUp.GetActiveConnections();
  auto took = std::chrono::steady_clock::now() - start;
  dialUp.GetActiveConnections();  // still silent: logged once
  nm.Resume();
  EXPECT_LT(took, std::chrono::milliseconds(TNetworkManagerSource::kCallBudgetMs + 300));
  EXPECT_EQ(r.lines.size(), 1u);
  dialUp.GetActiveConnections();
  EXPECT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(
      log.TakeFrom("vantelo.dialup"),
      (std::vector<std::string>{"NetworkManager did not answer within 500 ms: its connections are "
                                "left out",
                                "NetworkManager answers again"}));
}

// NetworkManager leaving the bus and coming back, and the bus itself
// restarting: the monitor used to keep Qt's broken system-bus connection for
// good, and so stayed on the default route, silently.
TEST(NetworkManager, ItsDepartureAndABusRestartAreFollowedAndLogged) {
  MachineRoots machine;
  auto monitor = machine.Monitor();
  Reports r;
  r.Attach(*monitor);
  int told = 0;
  monitor->OnConnectionsChanged = [&](TDialUp*) { ++told; };
  ProgramLogCapture log;
  auto vpnUp = [&](NetworkManagerMock& nm) {
    QString active =
        nm.Activate(nm.AddDevice("eth0", "eth0"), nm.AddProfile("Work VPN", "vpn"), "5", 2);
    // The signals of a new service, or on a new bus connection, are told too.
    told = 0;
    nm.EmitSignal(active, kActiveIface, "StateChanged", "uu", {2u, 0u});
    return ToldOf(told, 1);
  };
  auto nm = std::make_unique<NetworkManagerMock>();
  monitor->GetActiveConnections();
  EXPECT_TRUE(vpnUp(*nm));
  monitor->GetActiveConnections();
  EXPECT_EQ(r.lines, (std::vector<std::string>{"Work VPN|Connected|vpn|eth0"}));
  nm.reset();
  for (int tick = 0; tick < 2; ++tick) monitor->GetActiveConnections();
  EXPECT_EQ(r.lines.size(), 1u);
  nm = std::make_unique<NetworkManagerMock>();
  EXPECT_TRUE(vpnUp(*nm));
  monitor->GetActiveConnections();
  EXPECT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(
      log.TakeFrom("vantelo.dialup"),
      (std::vector<std::string>{"NetworkManager has left the system bus: its connections are left "
                                "out until it is back",
                                "NetworkManager is back on the system bus"}));

  nm.reset();
  NetworkManagerMock::RestartBus();
  for (int tick = 0; tick < 2; ++tick) monitor->GetActiveConnections();
  nm = std::make_unique<NetworkManagerMock>();
  EXPECT_TRUE(vpnUp(*nm));
  r.lines.clear();
  monitor->GetActiveConnections();
  EXPECT_EQ(r.lines, (std::vector<std::string>{"Work VPN|Connected|vpn|eth0"}));
  EXPECT_EQ(
      log.TakeFrom("vantelo.dialup"),
      (std::vector<std::string>{"the connection to the system bus was lost: NetworkManager's "
                                "connections are left out until it is made again",
                                "connected to the system bus again",
                                "NetworkManager has left the system bus: its connections are left "
                                "out until it is back",
                                "NetworkManager is back on the system bus"}));
}

// NetworkManager's PPPoE: its pppd runs ppp0 over eth0. Found by the pppd
// source too (an older NetworkManager passes no plugin argument), it is still
// reported once, as NetworkManager's entry.
TEST(NetworkManager, ItsPppLinkIsReportedOnceUnderItsOwnEntry) {
  NetworkManagerMock nm;
  QString eth = nm.AddDevice("eth0", "eth0");
  nm.SetProperty(eth, "org.freedesktop.NetworkManager.Device", "IpInterface", QString("ppp0"));
  nm.Activate(eth, nm.AddProfile("DSL", "pppoe"), "3", 2);
  MachineRoots machine;
  machine.Process(300, {"/usr/sbin/pppd", "nodetach", "user", "someone"});
  machine.File("run/ppp0.pid", "300\n");
  machine.File("net/ppp0/flags", "0x10d1\n");
  auto monitor = machine.Monitor();
  TDialUp& dialUp = *monitor;
  Reports r;
  r.Attach(dialUp);
  dialUp.GetActiveConnections();
  EXPECT_EQ(r.lines, (std::vector<std::string>{"DSL|Connected|pppoe|eth0"}));
}

TEST(DialUp, MoreConnectionsThanRoomAreLoggedWhenItStartsAndEnds) {
  auto source = std::make_unique<FixedSource>();
  FixedSource* fixed = source.get();
  std::vector<std::unique_ptr<TConnectionSource>> sources;
  sources.push_back(std::move(source));
  TDialUp dialUp(std::move(sources));
  ProgramLogCapture log;
  fixed->connections.assign(101, TRasConnection{});
  EXPECT_EQ(dialUp.GetActiveConnections(), kErrorBufferTooSmall);
  EXPECT_EQ(dialUp.GetActiveConnections(), kErrorBufferTooSmall);
  fixed->connections.resize(2);
  EXPECT_EQ(dialUp.GetActiveConnections(), 0);
  EXPECT_EQ(log.TakeFrom("vantelo.dialup"),
            (std::vector<std::string>{"101 active connections, more than 100: none is reported",
                                      "2 active connections: reported again"}));
}

// ---- Wi-Fi and wired profiles as entries -----------------------------------

// Office and Home are Wi-Fi, Dock is wired; a VPN and a peer of pppd too.
struct LanMachine {
  LanMachine() {
    eth = nm.AddDevice("eth0", "eth0");
    wlan = nm.AddDevice("wlan0", "wlan0");
    office = nm.AddProfile("Office", "802-11-wireless");
    vpn = nm.AddProfile("Work VPN", "vpn");
    dock = nm.AddProfile("Dock", "802-3-ethernet");
    home = nm.AddProfile("Home", "802-11-wireless");
    machine.File("peers/isp", "noauth\n");
    machine.Process(400, {"/usr/sbin/pppd", "call", "isp"});
  }
  NetworkManagerMock nm;
  MachineRoots machine;
  QString eth, wlan, office, vpn, dock, home;
};

TEST(LanEntries, ComeAfterAllOtherEntriesAndTheirConnectionsBeforeAllOthers) {
  LanMachine m;
  auto monitor = m.machine.Monitor();
  int asked = 0;
  monitor->LanEntriesSetting = [&] {
    ++asked;
    return true;
  };
  Reports r;
  r.Attach(*monitor);
  m.nm.Activate(m.wlan, m.home, "1", 2);
  m.nm.Activate(m.wlan, m.vpn, "2", 2);
  m.nm.Activate(m.eth, m.dock, "3", 1);
  EXPECT_EQ(monitor->GetActiveConnections(), 0);  // asks before any entries were listed
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"Home|Connected|802-11-wireless|wlan0",
                                               "Dock|Connecting device|802-3-ethernet|eth0",
                                               "Work VPN|Connected|vpn|wlan0",
                                               "isp|Connecting device|modem|"}));
  EXPECT_EQ(monitor->GetEntries(), 0);
  EXPECT_EQ(r.entries, (std::vector<std::string>{"Work VPN", "isp", "Office", "Dock", "Home"}));
  EXPECT_EQ(asked, 2);
  monitor->GetActiveConnections();
  EXPECT_EQ(asked, 2);  // not at every tick
}

// Anything but "1", or no setting at all: exactly as without the option.
TEST(LanEntries, OffLeavesWiFiAndWiredOut) {
  LanMachine m;
  m.nm.Activate(m.wlan, m.home, "1", 2);
  m.nm.Activate(m.wlan, m.vpn, "2", 2);
  for (bool connected : {false, true}) {
    auto monitor = m.machine.Monitor();
    if (connected) monitor->LanEntriesSetting = [] { return false; };
    Reports r;
    r.Attach(*monitor);
    monitor->GetEntries();
    monitor->GetActiveConnections();
    EXPECT_EQ(r.entries, (std::vector<std::string>{"Work VPN", "isp"}));
    EXPECT_EQ(r.lines, (std::vector<std::string>{"Work VPN|Connected|vpn|wlan0",
                                                 "isp|Connecting device|modem|"}));
  }
}

}  // namespace
