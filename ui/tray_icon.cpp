#include "ui/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

#include "logging/log_categories.h"

namespace vantelo::ui {

std::function<bool()> TTrayIcon::TrayAvailable = [] {
  return QSystemTrayIcon::isSystemTrayAvailable();
};

bool TTrayIcon::Windowless = false;

std::function<bool()> TTrayIcon::OnStatusNotifierPanel = [] {
  // The question Qt asks when it picks the panel's protocol for the icon.
  QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  ask << QStringLiteral("org.kde.StatusNotifierWatcher")
      << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = QDBusConnection::sessionBus().call(ask, QDBus::Block, 500);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         qvariant_cast<QDBusVariant>(reply.arguments().first()).variant().toBool();
};

TTrayIcon::TTrayIcon(QWidget* owner)
    : QObject(owner), owner_(owner), icon_(new QSystemTrayIcon(this)) {
  connect(icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
  clickTimer_.setSingleShot(true);
  clickTimer_.setInterval(QApplication::doubleClickInterval());
  connect(&clickTimer_, &QTimer::timeout, this, &TTrayIcon::ClickTimer);
  trayWatch_.setInterval(5000);
  connect(&trayWatch_, &QTimer::timeout, this, &TTrayIcon::WatchTray);
  if (owner_) owner_->installEventFilter(this);
}

TTrayIcon::~TTrayIcon() { HideIcon(); }

void TTrayIcon::SetHint(const QString& hint) {
  hint_ = hint;
  ModifyIcon();
}

void TTrayIcon::SetShowHint(bool show) {
  showHint_ = show;
  ModifyIcon();
}

void TTrayIcon::SetIcon(const QIcon& icon) {
  icon_->setIcon(icon);
  ModifyIcon();
}

void TTrayIcon::SetIconVisible(bool visible) {
  if (visible) {
    ShowIcon();
  } else {
    HideIcon();
  }
}

void TTrayIcon::SetPopupMenu(QMenu* menu) {
  popupMenu_ = menu;
  icon_->setContextMenu(enabled_ ? menu : nullptr);
}

void TTrayIcon::SetEnabled(bool enabled) {
  enabled_ = enabled;
  icon_->setContextMenu(enabled_ ? popupMenu_.data() : nullptr);
}

QString TTrayIcon::ShownTip() const {
  return showHint_ && !hint_.isEmpty() ? hint_.left(127) : QString();
}

void TTrayIcon::Loaded() {
  ModifyIcon();
  if (iconVisible_) ShowIcon();
}

bool TTrayIcon::ShowIcon() {
  iconVisible_ = true;
  ModifyIcon();
  // Without a display Qt would look for an X11 tray, and warn that it has none.
  if (Windowless) return true;
  icon_->show();
  WatchTray();
  return !trayMissingLogged_;
}

void TTrayIcon::WatchTray() {
  const bool available = iconVisible_ && TrayAvailable();
  if (!available && iconVisible_ && !trayMissingLogged_) {
    trayMissingLogged_ = true;
    qCWarning(lcApp,
              "the icon could not be added: the desktop has no notification area; "
              "the main window stays in the task bar");
    trayWatch_.start();
  } else if (available && trayMissingLogged_) {
    trayMissingLogged_ = false;
    qCInfo(lcApp, "the icon is in the notification area again");
    trayWatch_.stop();
  }
}

bool TTrayIcon::HideIcon() {
  iconVisible_ = false;
  trayWatch_.stop();
  trayMissingLogged_ = false;
  icon_->hide();
  return true;
}

bool TTrayIcon::ModifyIcon() {
  icon_->setToolTip(ShownTip());
  return TrayAvailable();
}

void TTrayIcon::RestoreMainForm() {
  if (!owner_) return;
  if (owner_->isHidden()) owner_->show();
  if (owner_->isMinimized()) owner_->setWindowState(owner_->windowState() & ~Qt::WindowMinimized);
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
    owner_->raise();
    owner_->activateWindow();
  }
}

void TTrayIcon::HideMainForm() {
  if (owner_) owner_->hide();
}

void TTrayIcon::DoMinimizeToTray() {
  HideMainForm();
  ShowIcon();
}

void TTrayIcon::StartHidden() {
  if (!owner_ || TrayAvailable()) return;
  owner_->showMinimized();
}

void TTrayIcon::PopupAtCursor() {
  if (popupMenu_) popupMenu_->popup(QCursor::pos());
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == owner_ && event->type() == QEvent::WindowStateChange && MinimizeToTray &&
      owner_->isMinimized() && owner_->isVisible() && TrayAvailable()) {
    // Hidden once the state change is through, not in the middle of it.
    QTimer::singleShot(0, this, [this] {
      if (owner_ && owner_->isMinimized()) DoMinimizeToTray();
    });
  }
  return QObject::eventFilter(watched, event);
}

void TTrayIcon::Activated(int reason) {
  if (!enabled_) return;
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      if (OnActivate && OnStatusNotifierPanel()) OnActivate();
      if (clickTimer_.isActive()) {
        // A second click within the double-click time is a double click:
        // panels that speak to the icon over D-Bus report only clicks.
        if (clickPending_) DoubleClicked();
      } else {
        // A click counts once the double-click time has passed without a second.
        clickPending_ = true;
        clickTimer_.start();
      }
      if (LeftPopup) PopupAtCursor();
      break;
    case QSystemTrayIcon::DoubleClick:
      // Reported after the first click, and followed by one more click on
      // some desktops: one double click, whichever way it arrives.
      if (!doubleClickSeen_) DoubleClicked();
      break;
    default:
      break;
  }
}

void TTrayIcon::DoubleClicked() {
  clickPending_ = false;
  doubleClickSeen_ = true;
  if (!clickTimer_.isActive()) clickTimer_.start();  // ends the double click's own clicks
  if (OnDblClick) OnDblClick();
}

void TTrayIcon::ClickTimer() {
  if (!doubleClickSeen_ && clickPending_) {
    clickPending_ = false;
    if (OnClick) OnClick();
  }
  doubleClickSeen_ = false;
}

}  // namespace vantelo::ui
