// The program's icon in the notification area, with its tip, its menu on the
// right button and a double click that restores the main window (on a
// StatusNotifierItem panel a single click does too, as there it is the way
// to open a program). It hides
// the main window there when the window is minimised, and the icon stays for
// the whole run. Qt registers the icon again when the desktop's tray comes
// back, so the icon survives a restart of the panel.
//
// Where the desktop has no notification area, the main window must stay
// reachable: minimising then leaves it in the task bar, and a minimised start
// shows it minimised.
//
// GUI thread only.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

class QSystemTrayIcon;
class QWidget;

namespace vantelo::ui {

class TTrayIcon : public QObject {
  Q_OBJECT

 public:
  // `owner` is the main window, which the icon hides and restores.
  explicit TTrayIcon(QWidget* owner);
  ~TTrayIcon() override;  // the icon leaves the notification area

  // The tip: at most 127 characters of it are shown.
  void SetHint(const QString& hint);
  QString Hint() const { return hint_; }
  void SetShowHint(bool show);
  void SetIcon(const QIcon& icon);
  void SetIconVisible(bool visible);
  bool IconVisible() const { return iconVisible_; }
  void SetPopupMenu(QMenu* menu);
  QMenu* PopupMenu() const { return popupMenu_; }

  // When disabled, mouse actions on the icon are ignored and its menu stays shut.
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }
  bool LeftPopup = false;       // the left button opens the menu too
  bool StartMinimized = false;  // the main window starts hidden
  bool MinimizeToTray = false;  // minimising hides the main window here

  std::function<void()> OnClick;
  std::function<void()> OnDblClick;
  // A click on a StatusNotifierItem panel (its Activate), at once.
  std::function<void()> OnActivate;

  // Puts the icon in the notification area with the current settings; the
  // owner calls it once it has set them.
  void Loaded();

  bool ShowIcon();
  bool HideIcon();
  bool ModifyIcon();
  void RestoreMainForm();
  void HideMainForm();
  void DoMinimizeToTray();
  void PopupAtCursor();
  // A start with the main window hidden: only the icon shows, or, with no
  // notification area, the window shows minimised in the task bar.
  void StartHidden();

  // The tip as the notification area gets it.
  QString ShownTip() const;
  // Whether the desktop offers a notification area; tests may replace it.
  static std::function<bool()> TrayAvailable;
  // Set by the program where it runs without a display: no icon is put
  // anywhere, and a missing notification area is not reported (there is no
  // task bar either).
  static bool Windowless;
  // Whether that area is a StatusNotifierItem panel on the session bus;
  // tests may replace it.
  static std::function<bool()> OnStatusNotifierPanel;

  QSystemTrayIcon* PlatformIcon() const { return icon_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Activated(int reason);
  void ClickTimer();
  void DoubleClicked();
  // Logs the notification area going and coming back, once each way.
  void WatchTray();

  QPointer<QWidget> owner_;
  QSystemTrayIcon* icon_;
  QPointer<QMenu> popupMenu_;
  QString hint_;
  bool showHint_ = true;
  bool enabled_ = true;
  bool iconVisible_ = true;
  QTimer clickTimer_;
  bool clickPending_ = false;
  bool doubleClickSeen_ = false;
  QTimer trayWatch_;
  bool trayMissingLogged_ = false;
};

}  // namespace vantelo::ui
