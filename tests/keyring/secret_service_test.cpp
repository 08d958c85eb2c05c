// The keyring's lookups and stores against a real gnome-keyring-daemon on a
// private session bus, with entries made and read by secret-tool as a
// person (or msmtp) makes and reads them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "keyring/secret_service.h"
#include "tests/testkit/secret_service_daemon.h"

namespace vantelo::keyring {
namespace {

using relay::TLoginAccount;
using TResult = relay::TPasswordLookup::TResult;
using testkit::SecretServiceOnPrivateBus;

class SecretServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (SecretServiceOnPrivateBus::Missing().empty()) {
      keyring_ = std::make_unique<SecretServiceOnPrivateBus>();
    }
  }
  static void TearDownTestSuite() { keyring_.reset(); }
  void SetUp() override {
    if (!keyring_) GTEST_SKIP() << SecretServiceOnPrivateBus::Missing();
  }
  static SecretServiceOnPrivateBus& Keyring() { return *keyring_; }

  TSecretServicePasswords passwords_;

 private:
  static std::unique_ptr<SecretServiceOnPrivateBus> keyring_;
};

std::unique_ptr<SecretServiceOnPrivateBus> SecretServiceTest::keyring_;

// An entry made the way msmtp's users make one is found by its three
// attributes, and only for its own user and host.
TEST_F(SecretServiceTest, FindsTheEntryThatSecretToolStoredForTheAccountOnly) {
  ASSERT_TRUE(Keyring().Store("smtp.example.net", "alice@example.net", "p4ss w0rd:é"));
  ASSERT_TRUE(Keyring().Store("smtp.example.net", "bob", "bobs"));

  auto found = passwords_.Find({"smtp.example.net", 587, "alice@example.net"});
  EXPECT_EQ(found.result, TResult::Found) << found.reason;
  EXPECT_EQ(found.password.Value(), "p4ss w0rd:é");

  for (const TLoginAccount& other : {TLoginAccount{"smtp.example.net", 587, "alice"},
                                     TLoginAccount{"mail.example.net", 587, "alice@example.net"}}) {
    auto missing = passwords_.Find(other);
    EXPECT_EQ(missing.result, TResult::Missing) << other.Describe();
    EXPECT_TRUE(missing.password.Empty());
    EXPECT_NE(
        missing.reason.find("secret-tool store --label='Vantelo: " + other.user + "@" + other.host +
                            "' host '" + other.host + "' service smtp user '" + other.user + "'"),
        std::string::npos)
        << missing.reason;
  }
}

// What Vantelo stores, secret-tool (and so msmtp) reads; storing replaces
// the old password, whoever stored it, instead of adding a second entry.
TEST_F(SecretServiceTest, StoredPasswordIsWhatSecretToolLooksUpAndReplacesTheOldOne) {
  const TLoginAccount account{"smtp.provider.example", 465, "carol"};
  ASSERT_TRUE(Keyring().Store(account.host, account.user, "msmtp's old one"));
  EXPECT_EQ(StorePassword(account, "first"), "");
  EXPECT_EQ(Keyring().Entries(account.host, account.user), 1);
  EXPECT_EQ(Keyring().Lookup(account.host, account.user), "first");
  EXPECT_EQ(Keyring().Label(account.host, account.user), "Vantelo: carol@smtp.provider.example");

  EXPECT_EQ(StorePassword(account, "second"), "");
  EXPECT_EQ(Keyring().Entries(account.host, account.user), 1);
  EXPECT_EQ(Keyring().Lookup(account.host, account.user), "second");
  auto found = passwords_.Find(account);
  EXPECT_EQ(found.result, TResult::Found) << found.reason;
  EXPECT_EQ(found.password.Value(), "second");
}

// Relay workers look up at the same time, for the same and for other
// accounts; each gets its own account's password.
TEST_F(SecretServiceTest, LookupsFromSeveralThreadsAtOnceEachGetTheirOwn) {
  ASSERT_TRUE(Keyring().Store("smtp.one.example", "dave", "one-pass"));
  ASSERT_TRUE(Keyring().Store("smtp.two.example", "dave", "two-pass"));
  constexpr int kThreads = 8, kRounds = 10;
  std::vector<int> right(kThreads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      TSecretServicePasswords own;
      const bool one = t % 2 == 0;
      for (int i = 0; i < kRounds; ++i) {
        auto found = (one ? passwords_ : own)
                         .Find({one ? "smtp.one.example" : "smtp.two.example", 587, "dave"});
        if (found.result == TResult::Found &&
            found.password.Value() == (one ? "one-pass" : "two-pass")) {
          ++right[t];
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(right[t], kRounds) << "thread " << t;
}

// Without a keyring, Find and StorePassword say so in words a person can act
// on: a session bus where no keyring runs, and no session bus at all. Each in
// a process of its own, since libsecret keeps the first bus it meets.
TEST(SecretServiceWithoutKeyringTest, LookupAndStoreAreUnavailableWithTheReason) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (!SecretServiceOnPrivateBus::Missing().empty()) {
    GTEST_SKIP() << SecretServiceOnPrivateBus::Missing();
  }
  const TLoginAccount account{"smtp.example.net", 587, "erin"};
  auto tryBoth = [&account] {
    auto lookup = TSecretServicePasswords().Find(account);
    const std::string stored = StorePassword(account, "never");
    const bool said = lookup.reason.rfind("no keyring answers on the session bus", 0) == 0 &&
                      stored.rfind("no keyring answers on the session bus", 0) == 0;
    fprintf(stderr, "lookup: %s\nstore: %s\n", lookup.reason.c_str(), stored.c_str());
    std::exit(lookup.result == TResult::Unavailable && said ? 0 : 1);
  };
  EXPECT_EXIT(
      {
        SecretServiceOnPrivateBus bareBus(false);
        tryBoth();
      },
      ::testing::ExitedWithCode(0), "lookup: no keyring answers");
  EXPECT_EXIT(
      {
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        tryBoth();
      },
      ::testing::ExitedWithCode(0), "lookup: no keyring answers");
}

// A keyring that stays locked (its prompt cannot show here) is reported as
// such, not taken for one without the password: that would ask for it again.
TEST(SecretServiceWithoutKeyringTest, LockedKeyringThatStaysLockedIsUnavailable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (!SecretServiceOnPrivateBus::Missing().empty()) {
    GTEST_SKIP() << SecretServiceOnPrivateBus::Missing();
  }
  EXPECT_EXIT(
      {
        SecretServiceOnPrivateBus keyring;
        if (!keyring.Store("smtp.example.net", "frank", "locked away") ||
            !keyring.LockLoginKeyring()) {
          std::exit(2);
        }
        auto lookup = TSecretServicePasswords().Find({"smtp.example.net", 587, "frank"});
        fprintf(stderr, "lookup: %d %s\n", static_cast<int>(lookup.result), lookup.reason.c_str());
        std::exit(lookup.result == TResult::Unavailable && lookup.password.Empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "lookup: 2 the keyring that holds it is locked");
}

}  // namespace
}  // namespace vantelo::keyring
