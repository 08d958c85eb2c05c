// Where a route's login finds its password, and what it tells when the
// server refuses one. The relay asks on the worker thread of the connection
// that needs it; a source may block that worker (a keyring that prompts to be
// unlocked), never another connection or its owner's thread.
//
// A password lives in a TSecret, which wipes its bytes when it goes, and is
// kept no longer than the login that needs it.
#pragma once

#include <memory>
#include <string>

namespace vantelo::relay {

// A password in memory: wiped when destroyed or replaced. Not copyable, so
// that no stray copy outlives the login.
class TSecret {
 public:
  TSecret() = default;
  explicit TSecret(std::string value) : value_(std::move(value)) {}
  TSecret(TSecret&& other) noexcept : value_(std::move(other.value_)) { other.Wipe(); }
  TSecret& operator=(TSecret&& other) noexcept {
    if (this != &other) {
      Wipe();
      value_ = std::move(other.value_);
      other.Wipe();
    }
    return *this;
  }
  TSecret(const TSecret&) = delete;
  TSecret& operator=(const TSecret&) = delete;
  ~TSecret() { Wipe(); }

  const std::string& Value() const { return value_; }
  bool Empty() const { return value_.empty(); }
  void Wipe();

 private:
  std::string value_;
};

// Whose password: the route's server host (as the certificate must name it,
// without brackets), its port, and the route's user.
struct TLoginAccount {
  std::string host;
  int port = 0;
  std::string user;
  // "alice@smtp.example.net:587", for the log and the replies.
  std::string Describe() const;
};

// What a lookup found.
struct TPasswordLookup {
  enum class TResult {
    Found,        // password holds it
    Missing,      // the keyring answered, and holds none for the account
    Unavailable,  // no keyring to ask, or it failed; reason says why
  };
  TResult result = TResult::Missing;
  TSecret password;
  std::string reason;  // for Missing and Unavailable: what to do, for a person
};

class TPasswordSource {
 public:
  virtual ~TPasswordSource() = default;
  // The password of `account`. Called on worker threads, several at once.
  virtual TPasswordLookup Find(const TLoginAccount& account) = 0;
  // The server refused the password (535): a source that asked a person for
  // it may ask once more. Called on the worker thread; must not block.
  virtual void Refused(const TLoginAccount& /*account*/, const std::string& /*reply*/) {}
};

}  // namespace vantelo::relay
