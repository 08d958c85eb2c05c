#include "app/login_asker.h"

#include <QMetaObject>

#include "keyring/secret_service.h"
#include "logging/log_categories.h"
#include "ui/login_window.h"

namespace vantelo::app {
namespace {

QString Text(const std::string& text) { return QString::fromStdString(text); }

std::string ServerText(const relay::TLoginAccount& account) {
  const bool ipv6 = account.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + account.host + "]" : account.host) + ":" + std::to_string(account.port);
}

}  // namespace

TLoginAsker::TLoginAsker(std::shared_ptr<TAskingPasswords> passwords, TStore store, QObject* parent)
    : QObject(parent),
      passwords_(std::move(passwords)),
      store_(store ? std::move(store) : TStore(keyring::StorePassword)) {
  // Called on relay workers: only queued to this object's thread.
  passwords_->SetAsk([this](const TLoginRequest& request) {
    QMetaObject::invokeMethod(
        this, [this, request] { Show(request); }, Qt::QueuedConnection);
  });
}

TLoginAsker::~TLoginAsker() {
  // No request is queued to this object once SetAsk has returned.
  passwords_->SetAsk(nullptr);
  WaitForStores();
  for (auto& [key, window] : windows_) delete window.data();
}

void TLoginAsker::WaitForStores() { stores_.waitForDone(); }

ui::TFlogin* TLoginAsker::Window(const relay::TLoginAccount& account) const {
  auto open = windows_.find(account.Describe());
  return open == windows_.end() ? nullptr : open->second.data();
}

void TLoginAsker::Show(const TLoginRequest& request) {
  const relay::TLoginAccount account = request.account;
  ui::TFlogin* window = Window(account);
  if (!window) {
    window =
        new ui::TFlogin(Text(request.routeName), Text(ServerText(account)), Text(account.user));
    windows_[account.Describe()] = window;
    connect(window, &ui::TFlogin::Answered, this,
            [this, account](const QString& password, bool remember) {
              const relay::TSecret typed(password.toStdString());  // wiped when done
              Answer(account, typed.Value(), remember);
            });
    connect(window, &QDialog::rejected, this, [account] {
      qCInfo(lcLogin,
             "no password given for %s: its mail gets a 421 until one is stored "
             "in the keyring or the route is applied again (Refresh)",
             account.Describe().c_str());
    });
  }
  if (!request.refusedReply.empty()) {
    window->ShowRefusal(Text(request.refusedReply));
    qCInfo(lcLogin, "the server refused the password for %s: asking again",
           account.Describe().c_str());
  } else {
    qCInfo(lcLogin, "no password for %s in the keyring: asking for it", account.Describe().c_str());
  }
  window->ShowLogin();
}

void TLoginAsker::Answer(const relay::TLoginAccount& account, const std::string& password,
                         bool remember) {
  relay::TSecret given(password);
  passwords_->Keep(account, relay::TSecret(given.Value()));
  if (!remember) {
    qCInfo(lcLogin, "the password for %s is kept for this run only, not in the keyring",
           account.Describe().c_str());
    return;
  }
  // The keyring may prompt to be unlocked: never on the GUI thread.
  auto secret = std::make_shared<relay::TSecret>(std::move(given));
  stores_.start([passwords = passwords_, store = store_, account, secret] {
    const std::string failure = store(account, secret->Value());
    if (failure.empty()) {
      passwords->ForgetIfStill(account, secret->Value());
      qCInfo(lcLogin, "the password for %s is stored in the keyring", account.Describe().c_str());
    } else {
      qCWarning(lcLogin,
                "the password for %s is not stored in the keyring, only kept for this "
                "run: %s",
                account.Describe().c_str(), failure.c_str());
    }
  });
}

}  // namespace vantelo::app
