// The window that asks for a route's password, with the desktop program's
// password source around it and a real gnome-keyring-daemon on a private
// session bus behind that: relay workers look up, the window is answered on
// Qt's offscreen platform, and secret-tool reads what was stored.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <thread>

#include "app/asking_passwords.h"
#include "app/login_asker.h"
#include "keyring/secret_service.h"
#include "tests/testkit/program_log_capture.h"
#include "tests/testkit/secret_service_daemon.h"
#include "tests/testkit/widget_test_main.h"
#include "ui/login_window.h"

using vantelo::app::TAskingPasswords;
using vantelo::app::TLoginAsker;
using vantelo::relay::TLoginAccount;
using vantelo::relay::TPasswordLookup;
using vantelo::relay::TPasswordSource;
using vantelo::testkit::ProgramLogCapture;
using vantelo::testkit::SecretServiceOnPrivateBus;
using vantelo::ui::TFlogin;
using TResult = TPasswordLookup::TResult;

namespace {

// Runs on a thread of its own, as a relay worker does, then lets the GUI
// thread take what it queued.
TPasswordLookup FindOnWorker(TPasswordSource& source, const TLoginAccount& account) {
  TPasswordLookup lookup;
  std::thread worker([&] { lookup = source.Find(account); });
  worker.join();
  QCoreApplication::processEvents();
  return lookup;
}

void RefusedOnWorker(TPasswordSource& source, const TLoginAccount& account,
                     const std::string& reply) {
  std::thread worker([&] { source.Refused(account, reply); });
  worker.join();
  QCoreApplication::processEvents();
}

int Count(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const auto& line : lines) n += line.find(part) != std::string::npos;
  return n;
}

int OpenLoginWindows() {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    n += qobject_cast<TFlogin*>(w) && w->isVisible();
  return n;
}

void Answer(TFlogin* window, const QString& password, bool remember) {
  window->Remember->setChecked(remember);
  QTest::keyClicks(window->Password, password);
  window->Buttons->button(QDialogButtonBox::Ok)->click();
}

}  // namespace

class LoginWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (!SecretServiceOnPrivateBus::Missing().empty()) {
      QSKIP(SecretServiceOnPrivateBus::Missing().c_str());
    }
    keyring_ = std::make_unique<SecretServiceOnPrivateBus>();
  }
  void cleanupTestCase() { keyring_.reset(); }
  void init() {
    log_ = std::make_unique<ProgramLogCapture>();
    passwords_ = std::make_shared<TAskingPasswords>(
        std::make_shared<vantelo::keyring::TSecretServicePasswords>());
    asker_ = std::make_unique<TLoginAsker>(passwords_);
  }
  void cleanup() {
    asker_.reset();
    // The password never reaches the log.
    for (const auto& line : log_->Take()) {
      QVERIFY2(line.find("s3cret") == std::string::npos, line.c_str());
    }
    log_.reset();
  }

  // A missing password opens one window, whatever the number of lookups
  // meanwhile, showing whose password it is; OK stores it in the keyring,
  // where secret-tool (and the next lookup) find it.
  void missingPasswordAsksOnceAndOkStoresInTheKeyring() {
    const TLoginAccount account{"smtp.example.net", 587, "alice@example.net"};
    auto relay = passwords_->ForRelay("Work VPN");
    TPasswordLookup first = FindOnWorker(*relay, account);
    QCOMPARE(first.result, TResult::Missing);
    QVERIFY2(first.reason.find("asks for it in a window") != std::string::npos,
             first.reason.c_str());
    FindOnWorker(*relay, account);
    // A relay started anew (Refresh) while the window is open brings the same one forward.
    FindOnWorker(*passwords_->ForRelay("Work VPN"), account);
    QCOMPARE(OpenLoginWindows(), 1);

    TFlogin* window = asker_->Window(account);
    QVERIFY(window);
    QVERIFY(!window->isModal());
    QCOMPARE(window->EntryName->text(), QString("Work VPN"));
    QCOMPARE(window->Server->text(), QString("smtp.example.net:587"));
    QCOMPARE(window->User->text(), QString("alice@example.net"));
    QCOMPARE(window->Password->echoMode(), QLineEdit::Password);
    QVERIFY(window->Remember->isChecked());
    QCOMPARE(window->Remember->text(), QString("Remember in the keyring"));
    QVERIFY(window->Refusal->isHidden());
    QVERIFY(!window->Buttons->button(QDialogButtonBox::Ok)->isEnabled());

    Answer(window, "s3cret one", true);
    asker_->WaitForStores();
    QCOMPARE(keyring_->Lookup(account.host, account.user),
             std::optional<std::string>("s3cret one"));
    QCOMPARE(keyring_->Label(account.host, account.user),
             std::string("Vantelo: alice@example.net@smtp.example.net"));
    TPasswordLookup found = FindOnWorker(*relay, account);
    QCOMPARE(found.result, TResult::Found);
    QCOMPARE(found.password.Value(), std::string("s3cret one"));

    const auto lines = log_->TakeFrom("vantelo.login");
    QCOMPARE(Count(lines, "asking for it"), 2);  // once per relay; one window
    QCOMPARE(Count(lines, "is stored in the keyring"), 1);
  }

  // Cancel stores nothing, and the same relay does not ask again; after a
  // Refresh it asks once more, and with "Remember" off the answer serves this
  // run without reaching the keyring.
  void cancelStoresNothingAndRememberOffKeepsItForTheRunOnly() {
    const TLoginAccount account{"mail.provider.example", 465, "bob"};
    auto relay = passwords_->ForRelay("default route");
    FindOnWorker(*relay, account);
    TFlogin* window = asker_->Window(account);
    QVERIFY(window);
    QCOMPARE(window->EntryName->text(), QString("default route"));
    QTest::keyClicks(window->Password, "s3cret typed");
    window->Buttons->button(QDialogButtonBox::Cancel)->click();
    asker_->WaitForStores();
    QCOMPARE(keyring_->Lookup(account.host, account.user), std::nullopt);
    QCOMPARE(FindOnWorker(*relay, account).result, TResult::Missing);
    QCOMPARE(OpenLoginWindows(), 0);

    auto refreshed = passwords_->ForRelay("default route");
    FindOnWorker(*refreshed, account);
    QCOMPARE(OpenLoginWindows(), 1);
    Answer(asker_->Window(account), "s3cret for now", false);
    asker_->WaitForStores();
    TPasswordLookup found = FindOnWorker(*refreshed, account);
    QCOMPARE(found.result, TResult::Found);
    QCOMPARE(found.password.Value(), std::string("s3cret for now"));
    QCOMPARE(keyring_->Lookup(account.host, account.user), std::nullopt);
  }

  // With no keyring to ask, the person is still asked, and the answer serves
  // this run.
  void noKeyringStillAsksAndTheAnswerServesThisRun() {
    struct TNoKeyring : TPasswordSource {
      TPasswordLookup Find(const TLoginAccount&) override {
        TPasswordLookup none;
        none.result = TResult::Unavailable;
        none.reason = "no keyring answers on the session bus";
        return none;
      }
    };
    auto passwords = std::make_shared<TAskingPasswords>(std::make_shared<TNoKeyring>());
    TLoginAsker asker(passwords);
    const TLoginAccount account{"smtp.nokeyring.example", 587, "dave"};
    auto relay = passwords->ForRelay("Hotel");
    QCOMPARE(FindOnWorker(*relay, account).result, TResult::Unavailable);
    QVERIFY(asker.Window(account));
    Answer(asker.Window(account), "s3cret here", false);
    asker.WaitForStores();
    TPasswordLookup found = FindOnWorker(*relay, account);
    QCOMPARE(found.result, TResult::Found);
    QCOMPARE(found.password.Value(), std::string("s3cret here"));
  }

  // A password the server refused (535) is asked for once more, saying so;
  // a second refusal asks no more, and the refused password kept for the
  // run is gone.
  void refusedPasswordIsAskedForOnceMoreSayingTheServerRefusedIt() {
    const TLoginAccount account{"smtp.other.example", 587, "carol"};
    QVERIFY(keyring_->Store(account.host, account.user, "s3cret old"));
    auto relay = passwords_->ForRelay("Hotel");
    QCOMPARE(FindOnWorker(*relay, account).result, TResult::Found);
    QCOMPARE(OpenLoginWindows(), 0);

    RefusedOnWorker(*relay, account, "535 5.7.8 Authentication credentials invalid");
    TFlogin* window = asker_->Window(account);
    QVERIFY(window);
    QVERIFY(!window->Refusal->isHidden());
    QCOMPARE(window->Refusal->text(),
             QString("The server refused the password: 535 5.7.8 Authentication credentials "
                     "invalid"));
    Answer(window, "s3cret wrong too", false);
    QCOMPARE(FindOnWorker(*relay, account).password.Value(), std::string("s3cret wrong too"));

    RefusedOnWorker(*relay, account, "535 5.7.8 Authentication credentials invalid");
    QCOMPARE(OpenLoginWindows(), 0);
    TPasswordLookup after = FindOnWorker(*relay, account);
    QCOMPARE(after.password.Value(), std::string("s3cret old"));  // the keyring's again
    QCOMPARE(Count(log_->TakeFrom("vantelo.login"), "refused the password"), 1);
  }

 private:
  std::unique_ptr<SecretServiceOnPrivateBus> keyring_;
  std::unique_ptr<ProgramLogCapture> log_;
  std::shared_ptr<TAskingPasswords> passwords_;
  std::unique_ptr<TLoginAsker> asker_;
};

int main(int argc, char** argv) {
  return vantelo::testkit::RunWidgetTest<LoginWindowTest>(argc, argv);
}

#include "login_window_test.moc"
