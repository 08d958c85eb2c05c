#include "keyring/secret_service.h"

#include <libsecret/secret.h>

#include <memory>
#include <mutex>

namespace vantelo::keyring {
namespace {

// The attributes msmtp and secret-tool use; no schema name is matched or
// stored, so their entries and ours are the same kind.
const SecretSchema kLoginSchema = {"net.vantelo.SmtpLogin",
                                   SECRET_SCHEMA_DONT_MATCH_NAME,
                                   {{"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};

// One conversation with the keyring at a time: older libsecret set up its
// crypto without a lock, and concurrent prompts to unlock the same keyring
// would only stack up.
std::mutex gKeyringTurn;

struct TErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
struct TObjectUnref {
  void operator()(gpointer o) const { g_object_unref(o); }
};
struct TTableUnref {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
struct TItemsFree {
  void operator()(GList* l) const { g_list_free_full(l, g_object_unref); }
};
struct TValueUnref {
  void operator()(SecretValue* v) const { secret_value_unref(v); }
};
using TError = std::unique_ptr<GError, TErrorFree>;

// The error's own words, without D-Bus's error name, on one line.
std::string Words(GError* error) {
  if (!error) return "no reason given";
  if (g_dbus_error_is_remote_error(error)) g_dbus_error_strip_remote_error(error);
  std::string words = error->message ? error->message : "no reason given";
  for (char& c : words) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return words;
}

std::string NoKeyring(GError* error) {
  return "no keyring answers on the session bus (start GNOME Keyring, KWallet or KeePassXC "
         "with its Secret Service): " +
         Words(error);
}

// The Secret Service of the session, or nullptr with the reason. The bus's
// connection is shared by everything in the process that uses GLib's D-Bus;
// its end must not end the program.
SecretService* ConnectedService(std::string& reason) {
  GError* raw = nullptr;
  std::unique_ptr<GDBusConnection, TObjectUnref> bus(
      g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
  TError error(raw);
  if (!bus) {
    reason = NoKeyring(error.get());
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  raw = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw);
  error.reset(raw);
  if (!service) reason = NoKeyring(error.get());
  return service;
}

std::unique_ptr<GHashTable, TTableUnref> Attributes(const relay::TLoginAccount& account) {
  std::unique_ptr<GHashTable, TTableUnref> table(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(table.get(), const_cast<char*>("host"),
                      const_cast<char*>(account.host.c_str()));
  g_hash_table_insert(table.get(), const_cast<char*>("service"), const_cast<char*>("smtp"));
  g_hash_table_insert(table.get(), const_cast<char*>("user"),
                      const_cast<char*>(account.user.c_str()));
  return table;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string StoreCommand(const relay::TLoginAccount& account) {
  return "secret-tool store --label=" + Quoted("Vantelo: " + account.user + "@" + account.host) +
         " host " + Quoted(account.host) + " service smtp user " + Quoted(account.user);
}

relay::TPasswordLookup TSecretServicePasswords::Find(const relay::TLoginAccount& account) {
  relay::TPasswordLookup lookup;
  std::lock_guard turn(gKeyringTurn);
  std::string reason;
  std::unique_ptr<SecretService, TObjectUnref> service(ConnectedService(reason));
  if (!service) {
    lookup.result = relay::TPasswordLookup::TResult::Unavailable;
    lookup.reason = reason;
    return lookup;
  }
  // A locked keyring is unlocked the keyring's own way (its prompt) before
  // the secrets are read.
  GError* raw = nullptr;
  std::unique_ptr<GList, TItemsFree> items(secret_service_search_sync(
      service.get(), &kLoginSchema, Attributes(account).get(),
      static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr,
      &raw));
  TError error(raw);
  if (error) {
    lookup.result = relay::TPasswordLookup::TResult::Unavailable;
    lookup.reason = "the keyring failed: " + Words(error.get());
    return lookup;
  }
  if (!items) {
    lookup.result = relay::TPasswordLookup::TResult::Missing;
    lookup.reason = "none in the keyring; store it with " + StoreCommand(account);
    return lookup;
  }
  auto* item = static_cast<SecretItem*>(items->data);
  if (secret_item_get_locked(item)) {
    lookup.result = relay::TPasswordLookup::TResult::Unavailable;
    lookup.reason = "the keyring that holds it is locked; unlock it and send again";
    return lookup;
  }
  // libsecret keeps the value in memory it wipes when freed.
  std::unique_ptr<SecretValue, TValueUnref> value(secret_item_get_secret(item));
  if (!value) {
    lookup.result = relay::TPasswordLookup::TResult::Unavailable;
    lookup.reason = "the keyring gave no secret for its entry";
    return lookup;
  }
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  lookup.result = relay::TPasswordLookup::TResult::Found;
  lookup.password = relay::TSecret(std::string(bytes, length));
  return lookup;
}

std::string StorePassword(const relay::TLoginAccount& account, const std::string& password) {
  std::lock_guard turn(gKeyringTurn);
  std::string reason;
  std::unique_ptr<SecretService, TObjectUnref> service(ConnectedService(reason));
  if (!service) return reason;
  const auto attributes = Attributes(account);
  // One password per account: an entry that secret-tool made (msmtp's) has
  // another schema name, so the keyring would keep it beside ours, and a
  // lookup might still find the old password first.
  GError* raw = nullptr;
  secret_service_clear_sync(service.get(), &kLoginSchema, attributes.get(), nullptr, &raw);
  TError error(raw);
  if (error) return "the keyring did not replace the old password: " + Words(error.get());
  const std::string label = "Vantelo: " + account.user + "@" + account.host;
  std::unique_ptr<SecretValue, TValueUnref> value(
      secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain"));
  raw = nullptr;
  const gboolean stored = secret_service_store_sync(service.get(), &kLoginSchema, attributes.get(),
                                                    SECRET_COLLECTION_DEFAULT, label.c_str(),
                                                    value.get(), nullptr, &raw);
  error.reset(raw);
  if (!stored) return "the keyring did not store it: " + Words(error.get());
  return "";
}

}  // namespace vantelo::keyring
