// The GUI side of asking for passwords: it takes the requests of the relays'
// password sources (TAskingPasswords) on the GUI thread, queued, and shows
// the window that asks (ui/login_window.h), one per account at a time; a request
// for an account whose window is open brings that window forward (with the
// server's refusal, if any) instead of opening another.
//
// An answer is kept for this run at once, so mail can go while it is being
// stored. With "Remember in the keyring" it is stored off the GUI thread and,
// once stored, no longer kept here (the keyring has it); a store that fails
// leaves it kept for the run. Every outcome is one line on vantelo.login,
// never with the password.
//
// Lives on the GUI thread; its end waits for stores under way.
#pragma once

#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/asking_passwords.h"

namespace vantelo::ui {
class TFlogin;
}

namespace vantelo::app {

class TLoginAsker : public QObject {
  Q_OBJECT

 public:
  // Stores a password, returning "" or the reason; keyring::StorePassword
  // unless a test gives another.
  using TStore = std::function<std::string(const relay::TLoginAccount&, const std::string&)>;

  TLoginAsker(std::shared_ptr<TAskingPasswords> passwords, TStore store = nullptr,
              QObject* parent = nullptr);
  ~TLoginAsker() override;

  // The window open for `account`, or nullptr.
  ui::TFlogin* Window(const relay::TLoginAccount& account) const;
  // Waits until the stores under way are done (the tests, and the end).
  void WaitForStores();

 private:
  void Show(const TLoginRequest& request);
  void Answer(const relay::TLoginAccount& account, const std::string& password, bool remember);

  std::shared_ptr<TAskingPasswords> passwords_;
  TStore store_;
  std::map<std::string, QPointer<ui::TFlogin>> windows_;  // by TLoginAccount::Describe()
  QThreadPool stores_;
};

}  // namespace vantelo::app
