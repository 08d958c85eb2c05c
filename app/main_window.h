// The main window: every dial-up entry with its route, the active one marked,
// the toolbar and menus; and the owner of the program's shared parts (the
// relay, its thread manager, the dial-up monitor, the route store, the tray
// icon, the help router, the two timers) for the whole run. The route
// controller works inside it. It starts hidden; the deferred start shows it
// unless a minimised start is set.
//
// GUI thread only. Handlers never let an exception reach Qt's loop.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "app/instance_lock.h"
#include "app/route_controller.h"
#include "dialup/dial_up.h"
#include "relay/mapped_port/mapped_port_tcp.h"
#include "routing/route_store.h"

class QLabel;
class QMenu;
class QTimer;
class QToolButton;
class QTreeWidget;

namespace vantelo::ui {
class TFabout;
class TFconfig;
class TFtip;
class THelpRouter;
class TTrayIcon;
struct TConfigLinks;
}  // namespace vantelo::ui

namespace vantelo::app {

class TAskingPasswords;
class TLoginAsker;

class TFmain : public QMainWindow {
  Q_OBJECT

 public:
  // `dialUp` may be given for tests; by default the machine's sources.
  explicit TFmain(std::unique_ptr<dialup::TDialUp> dialUp = nullptr, QWidget* parent = nullptr);
  ~TFmain() override;

  // Rebuilds the route list view from the entry list, the route table and the
  // active entry. Stops at a failing lookup, with a line in the log; earlier
  // rows stay.
  void updatesmtp();

  TRouteController& Controller() { return controller_; }
  // What the configuration dialog shares with this window.
  ui::TConfigLinks ConfigLinks();
  // The windows created after this one, which live as long as it: the about
  // window, the tip window and the configuration dialog.
  void SetWindows(ui::TFabout* about, ui::TFtip* tip, ui::TFconfig* config);
  // Starts the tick and the deferred start, once every window exists.
  void StartTimers();
  ui::TTrayIcon* Tray() const { return tray; }
  QTreeWidget* RouteList() const { return LVsmtp; }
  QLabel* ConfigNotice() const { return Label7; }

 public slots:
  void Timer3Timer();
  void Timer2Timer();
  // The dial-up monitor's news of a change, once its burst is over.
  void ConnectionsChanged();
  void SpeedButton2Click();  // Refresh
  void SpeedButton4Click();  // Config
  void SpeedButton1Click();  // Help
  void SpeedButton3Click();  // Exit
  void exit1Click();
  void configuration2Click();
  void help1Click();
  void onlinehelp1Click();
  void Tipoftheday1Click();
  void about2Click();
  void Label5Click();
  void trayDblClick();
  void restore1Click();
  void exit2Click();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void BuildWindow();
  void BuildTray();
  // The main window shown, or left to the tray icon, as "startminimized" says.
  void ShowAsStartOptionSays();
  void DialUpActiveConnection(const std::string& entryName, const std::string& statusString);
  void isilventry(const std::string& entryName);

  // Shared parts, in the order they must go at the end. The relays stop
  // before (EndEveryRelay, then the route controller's reaper).
  std::shared_ptr<relay::TThreadMgrDefault> ThreadMgrDefault2;
  relay::TOwnedServer<relay::TMappedPortTCP> MappedPortTCP1;
  routing::TRouteStore routeStore_;
  std::unique_ptr<dialup::TDialUp> DialUp;
  TRouteController controller_;
  // Route logins' passwords: the keyring, then the window that asks.
  std::shared_ptr<TAskingPasswords> passwords_;
  std::unique_ptr<TLoginAsker> loginAsker_;
  std::unique_ptr<TInstanceLock> instanceLock_;

  ui::TFabout* Fabout = nullptr;
  ui::TFtip* Ftip = nullptr;
  ui::TFconfig* Fconfig = nullptr;
  ui::TTrayIcon* tray = nullptr;
  QMenu* PopupMenu1 = nullptr;
  ui::THelpRouter* HelpRouter1 = nullptr;
  QTimer* Timer3 = nullptr;
  QTimer* Timer2 = nullptr;
  QTimer* connectionsTimer_ = nullptr;  // gathers a burst of change signals
  QToolButton* SpeedButton1 = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QToolButton* SpeedButton3 = nullptr;
  QToolButton* SpeedButton4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QTreeWidget* LVsmtp = nullptr;
};

}  // namespace vantelo::app
