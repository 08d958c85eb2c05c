// The configuration dialog: the route of one dial-up entry picked from the
// phonebook entries, the default route, the listening port and the two start
// options. Created once at start and only hidden and shown after that; the
// main window opens it modally.
//
// It writes routes and settings at once but leaves the relay alone: Save sets
// the config-changed flag, and the new configuration counts from the next
// Refresh. GUI thread only; no handler lets an exception reach Qt's loop.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "routing/ado_layer.h"
#include "routing/settings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace vantelo::dialup {
class TDialUp;
}
namespace vantelo::routing {
struct TRouteStore;
}

namespace vantelo::ui {

// What the dialog shares with the main window, which owns all of it and
// outlives the dialog.
struct TConfigLinks {
  routing::TRouteStore& store;          // the connection; routes are written through its command
  dialup::TDialUp& dialUp;              // GetEntries reports each entry to the main window
  std::vector<std::string>& entryList;  // refilled by the main window's entry handler
  int& configChanged;                   // 1 after a Save, until Refresh or a double click
  std::function<void()> updatesmtp;     // rebuilds the main window's route list
};

class TFconfig : public QDialog {
  Q_OBJECT

 public:
  // `tipCheckBox` is the tip window's "Show Tip of the day on startup": loadcfg
  // sets it and savecfg reads it. Without one, the value read last is kept.
  TFconfig(TConfigLinks links, QCheckBox* tipCheckBox, QWidget* parent = nullptr);
  ~TFconfig() override;

  // Empties the entry list and the entry box and refills both from the
  // dial-up monitor. Never raises.
  void refreshentry();
  // Shows the route of the entry in the entry box. Never raises; on a failed
  // lookup both fields keep what they showed.
  void showsmtp();
  // Stores the shown route: raises routing::EDatabaseError when it fails.
  void writesmtp();
  // Every setting from the controls to the settings file and the autostart
  // entry; raises at the first write that fails.
  void savecfg();
  // Every setting from the files into the controls; raises on an invalid
  // autostart entry after the three text fields are filled.
  void loadcfg();

  // Controls, for the windows that share them and for tests.
  QComboBox* ComboBox1 = nullptr;       // entry name
  QLineEdit* Edit1 = nullptr;           // route port
  QLineEdit* Edit2 = nullptr;           // route server
  QLineEdit* Edit3 = nullptr;           // listening port
  QLineEdit* Edit4 = nullptr;           // default route server
  QLineEdit* Edit5 = nullptr;           // default route port
  QCheckBox* CheckBox1 = nullptr;       // "Start with windows"
  QCheckBox* CheckBox2 = nullptr;       // "minimized on startup"
  QToolButton* SpeedButton1 = nullptr;  // "reload entry"
  QToolButton* SpeedButton2 = nullptr;  // "save "
  QToolButton* SpeedButton3 = nullptr;  // "close"
  QGroupBox* GroupBox1 = nullptr;
  QGroupBox* GroupBox2 = nullptr;

 public slots:
  void FormShow();
  void SpeedButton1Click();  // reload entry
  void ComboBox1Click();     // the user picked an entry
  void SpeedButton2Click();  // save
  void SpeedButton3Click();  // close
  void FormClose();
  void FormDblClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void BuildWindow();
  routing::TSettingsValues ControlValues() const;
  void ShowValues(const routing::TSettingsValues& values);

  TConfigLinks links_;
  QCheckBox* tipCheckBox_;
  bool tipOfTheDay_ = false;  // kept while there is no tip window
  bool shownBefore_ = false;
  routing::TADOQuery ADOQuery1;
};

}  // namespace vantelo::ui
