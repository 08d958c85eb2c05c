#include "app/asking_passwords.h"

#include <set>

namespace vantelo::app {

// One relay's view: it remembers whom it asked already.
class TAskingPasswords::TRelayView : public relay::TPasswordSource {
 public:
  TRelayView(std::shared_ptr<TAskingPasswords> all, std::string routeName)
      : all_(std::move(all)), routeName_(std::move(routeName)) {}

  relay::TPasswordLookup Find(const relay::TLoginAccount& account) override {
    relay::TPasswordLookup lookup = all_->Find(account);
    // Without a keyring too: the answer then serves this run.
    if (lookup.result != relay::TPasswordLookup::TResult::Found) {
      lookup.reason += "; Vantelo asks for it in a window";
      if (FirstTime(askedMissing_, account)) all_->Ask({account, routeName_, ""});
    }
    return lookup;
  }

  void Refused(const relay::TLoginAccount& account, const std::string& reply) override {
    all_->Forget(account);
    if (FirstTime(askedRefused_, account)) all_->Ask({account, routeName_, reply});
  }

 private:
  bool FirstTime(std::set<std::string>& asked, const relay::TLoginAccount& account) {
    std::lock_guard lock(mutex_);
    return asked.insert(account.Describe()).second;
  }

  std::shared_ptr<TAskingPasswords> all_;
  const std::string routeName_;
  std::mutex mutex_;
  std::set<std::string> askedMissing_;
  std::set<std::string> askedRefused_;
};

TAskingPasswords::TAskingPasswords(std::shared_ptr<relay::TPasswordSource> keyring)
    : keyring_(std::move(keyring)) {}

void TAskingPasswords::SetAsk(TAsk ask) {
  std::lock_guard lock(mutex_);
  ask_ = std::move(ask);
}

std::shared_ptr<relay::TPasswordSource> TAskingPasswords::ForRelay(const std::string& routeName) {
  return std::make_shared<TRelayView>(shared_from_this(), routeName);
}

void TAskingPasswords::Keep(const relay::TLoginAccount& account, relay::TSecret password) {
  std::lock_guard lock(mutex_);
  kept_[account.Describe()] = std::move(password);
}

void TAskingPasswords::ForgetIfStill(const relay::TLoginAccount& account,
                                     const std::string& password) {
  std::lock_guard lock(mutex_);
  auto kept = kept_.find(account.Describe());
  if (kept != kept_.end() && kept->second.Value() == password) kept_.erase(kept);
}

void TAskingPasswords::Forget(const relay::TLoginAccount& account) {
  std::lock_guard lock(mutex_);
  kept_.erase(account.Describe());
}

relay::TPasswordLookup TAskingPasswords::Find(const relay::TLoginAccount& account) {
  {
    std::lock_guard lock(mutex_);
    auto kept = kept_.find(account.Describe());
    if (kept != kept_.end()) {
      relay::TPasswordLookup lookup;
      lookup.result = relay::TPasswordLookup::TResult::Found;
      lookup.password = relay::TSecret(kept->second.Value());
      return lookup;
    }
  }
  // Outside the lock: the keyring may take its time (a prompt to unlock).
  return keyring_->Find(account);
}

void TAskingPasswords::Ask(const TLoginRequest& request) {
  std::lock_guard lock(mutex_);
  if (ask_) ask_(request);
}

}  // namespace vantelo::app
