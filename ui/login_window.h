// The window that asks for a route's password: the entry (or "default
// route"), the server and the user, a password field, "Remember in the
// keyring" (on by default), OK and Cancel. Not modal: mail and the other
// windows go on while it is open. After a refusal it says what the server
// answered. It stores nothing itself: OK hands the password to whoever
// listens (Answered) and empties the field. GUI thread only.
#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace vantelo::ui {

class TFlogin : public QDialog {
  Q_OBJECT

 public:
  // `server` as "host:port".
  TFlogin(const QString& entryName, const QString& server, const QString& user,
          QWidget* parent = nullptr);

  // Shows what the server answered to the last password ("" hides it).
  void ShowRefusal(const QString& reply);
  // Shows the window, or brings it forward when it is shown already.
  void ShowLogin();

  QLabel* EntryName = nullptr;
  QLabel* Server = nullptr;
  QLabel* User = nullptr;
  QLabel* Refusal = nullptr;
  QLineEdit* Password = nullptr;
  QCheckBox* Remember = nullptr;
  QDialogButtonBox* Buttons = nullptr;

 signals:
  void Answered(const QString& password, bool remember);

 private:
  void OkClick();
};

}  // namespace vantelo::ui
