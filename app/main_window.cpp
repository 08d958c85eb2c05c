#include "app/main_window.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/login_asker.h"
#include "keyring/secret_service.h"
#include "logging/log_categories.h"
#include "relay/mapped_port/upstream_route.h"
#include "relay/socket/tls_transport.h"
#include "routing/settings.h"
#include "ui/error_box.h"
#include "ui/help_router.h"
#include "ui/pictures.h"
#include "ui/tray_icon.h"
#include "ui/about_window.h"
#include "ui/config_dialog.h"
#include "ui/tip_window.h"
#include "ui/web_links.h"
#include "ui/toolbar_icons.h"

namespace vantelo::app {
namespace {

// How long the first news of a connection change waits for the rest of its
// burst before the route decision runs once for all of them: NetworkManager
// sends a few signals for one change, and a switch from one VPN to another is
// two changes a few milliseconds apart. Not restarted by later news, so a
// stream of signals still gets a decision this often.
constexpr int kChangeBurstMs = 5;
constexpr int kClientWidth = 561;
constexpr int kClientHeight = 303;
const QColor kListBackground(244, 247, 247);

// A flat picture button with its caption in a label underneath.
QWidget* ButtonWithCaption(QToolButton*& button, const QIcon& icon, const QString& caption,
                           QWidget* parent) {
  auto* column = new QWidget(parent);
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  button = new QToolButton(column);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);  // a speed button: the mouse only
  button->setFixedSize(41, 41);
  button->setIcon(icon);
  button->setIconSize(QSize(32, 32));
  button->setToolTip(caption);
  // A picture button: screen readers announce it by the caption underneath.
  button->setAccessibleName(caption);
  auto* label = new QLabel(caption, column);
  label->setAlignment(Qt::AlignHCenter);
  layout->addWidget(button, 0, Qt::AlignHCenter);
  layout->addWidget(label, 0, Qt::AlignHCenter);
  column->setFixedWidth(56);
  return column;
}

}  // namespace

TFmain::TFmain(std::unique_ptr<dialup::TDialUp> dialUp, QWidget* parent)
    : QMainWindow(parent),
      ThreadMgrDefault2(std::make_shared<relay::TThreadMgrDefault>()),
      MappedPortTCP1(relay::TOwnedServer<relay::TMappedPortTCP>::Make()),
      DialUp(dialUp ? std::move(dialUp) : std::make_unique<dialup::TDialUp>()),
      controller_(
          routeStore_, MappedPortTCP1, ThreadMgrDefault2,
          {[this] { DialUp->GetActiveConnections(); }, [this] { updatesmtp(); },
           [this](bool shown) {
             if (shown) Label7->setText(kConfigChangedNotice);
             Label7->setVisible(shown);
           },
           nullptr,
           [this](const std::string& routeName) { return passwords_->ForRelay(routeName); }}),
      passwords_(
          std::make_shared<TAskingPasswords>(std::make_shared<keyring::TSecretServicePasswords>())),
      loginAsker_(std::make_unique<TLoginAsker>(passwords_)) {
  // The first relay: port 25, never activated; the first route applied replaces it.
  MappedPortTCP1->Bindings.Add().Port = 25;
  MappedPortTCP1->SetDefaultPort(25);
  MappedPortTCP1->ThreadMgr = ThreadMgrDefault2;

  DialUp->DialMode = dialup::dmAsync;
  DialUp->Language = dialup::English;
  DialUp->LanEntriesSetting = [] { return routing::SettingIsOn(routing::kDialLanEntries); };
  DialUp->OnEntryGet = [this](dialup::TDialUp*, const std::string& name) { isilventry(name); };
  DialUp->OnActiveConnection = [this](dialup::TDialUp*, int, const dialup::TRasConnStatus&,
                                      const std::string& status, const std::string& name,
                                      const std::string&,
                                      const std::string&) { DialUpActiveConnection(name, status); };

  BuildWindow();
  BuildTray();
  HelpRouter1 = new ui::THelpRouter(this);
  HelpRouter1->HelpType = ui::htHTMLhelp;

  Timer3 = new QTimer(this);
  Timer3->setInterval(1000);
  connect(Timer3, &QTimer::timeout, this, &TFmain::Timer3Timer);
  Timer2 = new QTimer(this);
  Timer2->setInterval(1000);
  connect(Timer2, &QTimer::timeout, this, &TFmain::Timer2Timer);
  connectionsTimer_ = new QTimer(this);
  connectionsTimer_->setSingleShot(true);
  connectionsTimer_->setInterval(kChangeBurstMs);
  connect(connectionsTimer_, &QTimer::timeout, this, &TFmain::ConnectionsChanged);
  DialUp->OnConnectionsChanged = [this](dialup::TDialUp*) {
    if (!connectionsTimer_->isActive()) connectionsTimer_->start();
  };

  FormCreate();
}

void TFmain::StartTimers() {
  Timer3->start();
  if (Timer2) Timer2->start();
}

void TFmain::SetWindows(ui::TFabout* about, ui::TFtip* tip, ui::TFconfig* config) {
  Fabout = about;
  Ftip = tip;
  Fconfig = config;
}

TFmain::~TFmain() {
  // Every relay, the draining ones too, stops side by side off this thread;
  // the route controller waits for them as it goes.
  controller_.EndEveryRelay();
}

void TFmain::FormCreate() {
  try {
    instanceLock_ = std::make_unique<TInstanceLock>();
    controller_.EntryList.clear();
  } catch (const std::exception& e) {
    // Like the lock's own result, a failure here does not stop the start.
    qCWarning(lcApp, "start goes on without its lock: %s", e.what());
  }
}

void TFmain::BuildWindow() {
  setWindowTitle(QStringLiteral("Vantelo"));
  setWindowIcon(ui::ProductIcon());

  QMenu* file = menuBar()->addMenu(QStringLiteral("file"));
  file->addAction(QStringLiteral("exit"), this, &TFmain::exit1Click);
  QMenu* view = menuBar()->addMenu(QStringLiteral("view"));
  view->addAction(QStringLiteral("configuration"), this, &TFmain::configuration2Click);
  QMenu* about = menuBar()->addMenu(QStringLiteral("about"));
  about->addAction(QStringLiteral("help"), this, &TFmain::help1Click);
  about->addAction(QStringLiteral("online help"), this, &TFmain::onlinehelp1Click);
  about->addAction(QStringLiteral("tip of the day"), this, &TFmain::Tipoftheday1Click);
  about->addAction(QStringLiteral("about"), this, &TFmain::about2Click);
  about->addAction(QStringLiteral("another product from Quorrin"), this, &TFmain::Label5Click);

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(5, 3, 6, 10);
  outer->setSpacing(4);

  // Toolbar panel: four buttons on the left, the product labels on the right.
  auto* panel = new QWidget(central);
  panel->setMinimumHeight(57);
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(10);
  row->addWidget(
      ButtonWithCaption(SpeedButton2, ui::RefreshIcon(), QStringLiteral("Refresh"), panel));
  row->addWidget(
      ButtonWithCaption(SpeedButton4, ui::ConfigIcon(), QStringLiteral("Config"), panel));
  row->addWidget(ButtonWithCaption(SpeedButton1, ui::HelpIcon(), QStringLiteral("Help"), panel));
  row->addWidget(ButtonWithCaption(SpeedButton3, ui::ExitIcon(), QStringLiteral("Exit"), panel));
  row->addStretch(1);
  auto* labels = new QVBoxLayout();
  labels->setSpacing(0);
  Label6 = new QLabel(QStringLiteral("Vantelo"), panel);
  QFont title = Label6->font();
  title.setBold(true);
  title.setPixelSize(19);
  Label6->setFont(title);
  Label6->setStyleSheet(QStringLiteral("color: black"));
  Label5 = new QLabel(QStringLiteral("Route mail to the correct server"), panel);
  // The notice keeps its room while hidden, so the window is wide enough for
  // it whatever the desktop's font.
  Label7 = new QLabel(QString::fromUtf8(kConfigChangedNotice), panel);
  Label7->setStyleSheet(QStringLiteral("color: rgb(0, 0, 255)"));
  QSizePolicy keepRoom = Label7->sizePolicy();
  keepRoom.setRetainSizeWhenHidden(true);
  Label7->setSizePolicy(keepRoom);
  Label7->setVisible(false);
  for (QLabel* l : {Label6, Label5, Label7}) labels->addWidget(l, 0, Qt::AlignRight);
  labels->addStretch(1);
  row->addLayout(labels);
  outer->addWidget(panel);

  LVsmtp = new QTreeWidget(central);
  LVsmtp->setColumnCount(4);
  LVsmtp->setHeaderLabels({QStringLiteral("Dial-up entry"), QStringLiteral("SMTP Server"),
                           QStringLiteral("Port"), QStringLiteral("Status")});
  LVsmtp->setRootIsDecorated(false);
  LVsmtp->setSelectionBehavior(QAbstractItemView::SelectRows);
  LVsmtp->setEditTriggers(QAbstractItemView::NoEditTriggers);
  LVsmtp->setToolTip(QStringLiteral("list of SMTP server"));
  LVsmtp->setAccessibleName(QStringLiteral("list of SMTP server"));
  LVsmtp->setAllColumnsShowFocus(true);
  QPalette palette = LVsmtp->palette();
  palette.setColor(QPalette::Base, kListBackground);
  LVsmtp->setPalette(palette);
  QHeaderView* header = LVsmtp->header();
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(72);
  header->setSectionResizeMode(0, QHeaderView::Stretch);
  header->setSectionResizeMode(1, QHeaderView::Stretch);
  header->setSectionResizeMode(2, QHeaderView::Fixed);
  header->setSectionResizeMode(3, QHeaderView::Fixed);
  header->resizeSection(2, 75);
  header->resizeSection(3, 85);
  for (int column : {2, 3}) LVsmtp->headerItem()->setTextAlignment(column, Qt::AlignCenter);
  outer->addWidget(LVsmtp, 1);
  setCentralWidget(central);

  connect(SpeedButton2, &QToolButton::clicked, this, &TFmain::SpeedButton2Click);
  connect(SpeedButton4, &QToolButton::clicked, this, &TFmain::SpeedButton4Click);
  connect(SpeedButton1, &QToolButton::clicked, this, &TFmain::SpeedButton1Click);
  connect(SpeedButton3, &QToolButton::clicked, this, &TFmain::SpeedButton3Click);

  // Fixed size: the client area plus the menu bar, wider or taller only where
  // the desktop's font needs it to show every caption whole.
  const QSize needed = central->minimumSizeHint();
  setFixedSize(std::max(kClientWidth, needed.width()),
               std::max(kClientHeight, needed.height()) + menuBar()->sizeHint().height());
  move(140, 114);
}

void TFmain::BuildTray() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->addAction(QStringLiteral("go to homepage"), this, &TFmain::Label5Click);
  PopupMenu1->addAction(QStringLiteral("restore"), this, &TFmain::restore1Click);
  PopupMenu1->addAction(QStringLiteral("exit"), this, &TFmain::exit2Click);
  tray = new ui::TTrayIcon(this);
  tray->SetHint(QStringLiteral("Relaymark"));
  tray->SetIcon(ui::ProductIcon());
  tray->SetPopupMenu(PopupMenu1);
  tray->StartMinimized = true;
  tray->MinimizeToTray = true;
  tray->OnDblClick = [this] { trayDblClick(); };
  tray->OnActivate = [this] { trayDblClick(); };
  tray->Loaded();
}

void TFmain::updatesmtp() {
  try {
    LVsmtp->clear();
    const std::vector<std::string> entries = controller_.EntryList;
    for (const std::string& entry : entries) {
      const routing::TRoute route = routing::ListLookup(routeStore_.ADOQuery3, entry);
      auto* item = new QTreeWidgetItem(LVsmtp);
      item->setText(0, QString::fromStdString(entry));
      // As written, except a password someone put into it.
      item->setText(1, QString::fromStdString(relay::ParseServerText(route.server).shown));
      item->setText(2, QString::fromStdString(route.port));
      if (entry == controller_.ActiveEntry) item->setText(3, QStringLiteral("Active"));
      item->setTextAlignment(2, Qt::AlignCenter);
      item->setTextAlignment(3, Qt::AlignCenter);
    }
  } catch (const std::exception& e) {
    // The rows made before the failure stay.
    qCWarning(lcStore, "the route list stops short: %s", e.what());
  } catch (...) {
    qCWarning(lcStore, "the route list stops short");
  }
}

void TFmain::Timer3Timer() { controller_.Timer3Timer(); }
void TFmain::ConnectionsChanged() { controller_.ConnectionsChanged(); }

void TFmain::Timer2Timer() {
  // The deferred start runs once, whatever happens in it; an error in it is
  // shown after it has ended.
  std::exception_ptr failure;
  try {
    if (Fconfig) {
      Fconfig->loadcfg();
      Fconfig->refreshentry();
    }
    updatesmtp();
    ShowAsStartOptionSays();
    if (routing::SettingIsOn(routing::kGeneralTipOfTheDay) && Ftip) Ftip->ShowTip();
  } catch (...) {
    failure = std::current_exception();
  }
  Timer2->stop();
  Timer2->deleteLater();
  Timer2 = nullptr;
  if (!failure) return;
  ui::WithErrorBox([&] { std::rethrow_exception(failure); });
  // With the icon the user can still bring the window back; without a
  // notification area a window left hidden could never be reached.
  if (isHidden() && !ui::TTrayIcon::TrayAvailable()) ShowAsStartOptionSays();
}

void TFmain::ShowAsStartOptionSays() {
  if (routing::ReadSetting(routing::kGeneralStartMinimized) == "0") {
    tray->RestoreMainForm();
  } else {
    tray->StartHidden();
  }
}

void TFmain::SpeedButton2Click() {
  // Refresh (and SIGHUP) also takes a changed trust store: certificates
  // added to the system, or SSL_CERT_FILE's file mended. The store is read
  // again at the next secure start, not here.
  relay::ReloadTrustStore();
  controller_.SpeedButton2Click();
}

void TFmain::SpeedButton3Click() { close(); }
void TFmain::exit1Click() { close(); }

ui::TConfigLinks TFmain::ConfigLinks() {
  return {routeStore_, *DialUp, controller_.EntryList, controller_.ConfigChanged,
          [this] { updatesmtp(); }};
}

void TFmain::SpeedButton4Click() {
  if (Fconfig) Fconfig->exec();
}
void TFmain::configuration2Click() { SpeedButton4Click(); }

void TFmain::SpeedButton1Click() { HelpRouter1->HelpContents(); }
void TFmain::help1Click() { HelpRouter1->HelpContents(); }
void TFmain::onlinehelp1Click() { ui::OpenURL(ui::OnlineHelpPage()); }
void TFmain::Tipoftheday1Click() {
  if (Ftip) Ftip->ShowTip();
}
void TFmain::about2Click() {
  if (Fabout) Fabout->ShowAbout();
}
void TFmain::Label5Click() { ui::OpenURL(ui::HomePage()); }

void TFmain::trayDblClick() { tray->RestoreMainForm(); }
void TFmain::restore1Click() { tray->RestoreMainForm(); }
void TFmain::exit2Click() { close(); }

void TFmain::closeEvent(QCloseEvent* event) {
  // Closing the main window ends the program; nothing is written.
  event->accept();
  QApplication::quit();
}

void TFmain::DialUpActiveConnection(const std::string& entryName, const std::string& statusString) {
  controller_.DialUpActiveConnection(entryName, statusString);
}

void TFmain::isilventry(const std::string& entryName) { controller_.isilventry(entryName); }

}  // namespace vantelo::app
