#include "platform/keyring.h"

#include <libsecret/secret.h>
#include <string.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace brivane {
namespace {

using std::chrono::milliseconds;
using Outcome = KeyringResult::Outcome;

const SecretSchema* passwordSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "org.torvex.Brivane.Password";
    s.flags = SECRET_SCHEMA_NONE;
    const char* names[] = {"protocol", "server", "port", "user"};
    for (int i = 0; i < 4; ++i) s.attributes[i] = {names[i], SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

// The attribute table for one entry; the strings it points to live here.
class Attributes {
 public:
  explicit Attributes(const KeyringEntry& entry)
      : port_(std::to_string(entry.port)), entry_(entry), table_(g_hash_table_new(g_str_hash, g_str_equal)) {
    g_hash_table_insert(table_, const_cast<char*>("protocol"), const_cast<char*>(entry.pop ? "pop3" : "imap"));
    g_hash_table_insert(table_, const_cast<char*>("server"), const_cast<char*>(entry_.server.c_str()));
    g_hash_table_insert(table_, const_cast<char*>("port"), const_cast<char*>(port_.c_str()));
    g_hash_table_insert(table_, const_cast<char*>("user"), const_cast<char*>(entry_.user.c_str()));
  }
  ~Attributes() { g_hash_table_unref(table_); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  GHashTable* table() const { return table_; }

 private:
  std::string port_;
  KeyringEntry entry_;
  GHashTable* table_;
};

KeyringResult outcome(Outcome o, std::string message = {}) {
  KeyringResult r;
  r.outcome = o;
  r.message = std::move(message);
  return r;
}

// Errors that mean nobody offers the Secret Service on the session bus (not
// running and not activatable, or the bus itself is gone).
bool meansNoService(const GError* error) {
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_DISCONNECTED:
      case G_DBUS_ERROR_FILE_NOT_FOUND:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_FORK_FAILED:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
      case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
      case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
      case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
      case G_DBUS_ERROR_SPAWN_FILE_INVALID:
      case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        return true;
      default:
        return false;
    }
  }
  if (error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_NOT_FOUND:
      case G_IO_ERROR_CONNECTION_REFUSED:
      case G_IO_ERROR_CLOSED:
      case G_IO_ERROR_CONNECTION_CLOSED:
        return true;
      default:
        return false;
    }
  }
  return false;
}

// Turns a GError into a result and frees it. A cancelled call is reported as
// Stopped; the waiting side replaces that with TimedOut where it applies.
KeyringResult fromError(GError* error) {
  KeyringResult r;
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    r = outcome(Outcome::Stopped);
  } else if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
    r = outcome(Outcome::Locked);
  } else if (meansNoService(error)) {
    r = outcome(Outcome::NoService, error->message);
  } else {
    r = outcome(Outcome::Failed, error->message);
  }
  g_error_free(error);
  return r;
}

// A Secret Service proxy of this call's own (libsecret's shared default one
// would outlive a bus that went away). It rides on GIO's session bus
// connection, which by default ends the program when the bus closes: that is
// switched off before anything else uses the connection.
class Service {
 public:
  // On failure service() is null and `failure` says why.
  explicit Service(GCancellable* cancellable) {
    GError* error = nullptr;
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error);
    if (bus_) {
      g_dbus_connection_set_exit_on_close(bus_, FALSE);
      service_ = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, cancellable, &error);
    }
    if (!service_) {
      // Whatever keeps us from the bus means no service, except a stop.
      if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        failure = fromError(error);
      } else {
        failure = outcome(Outcome::NoService, error ? error->message : "no session bus");
        if (error) g_error_free(error);
      }
    }
  }
  ~Service() {
    if (service_) g_object_unref(service_);
    if (bus_) g_object_unref(bus_);
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  SecretService* service() const { return service_; }
  KeyringResult failure;

 private:
  GDBusConnection* bus_ = nullptr;
  SecretService* service_ = nullptr;
};

void freeItems(GList* items) { g_list_free_full(items, g_object_unref); }

// State shared between the caller and the worker; the worker may outlive the
// call when a cancelled libsecret call does not return in time.
struct Call {
  GCancellable* cancellable = g_cancellable_new();
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  KeyringResult result;
  ~Call() { g_object_unref(cancellable); }
};

// How long a cancelled worker gets to wind up before the caller leaves it.
constexpr milliseconds kCancelGrace{1000};
constexpr milliseconds kStopPoll{100};

// Runs `work` on a worker thread with a main context of its own (libsecret's
// synchronous calls and prompts dispatch there), waits for it at most the
// time limit, polling the stop flag, and cancels it when either ends the wait.
KeyringResult runBounded(const KeyringOptions& options, std::function<KeyringResult(GCancellable*)> work) {
  auto call = std::make_shared<Call>();
  std::thread worker;
  try {
    worker = std::thread([call, work = std::move(work)] {
      GMainContext* context = g_main_context_new();
      g_main_context_push_thread_default(context);
      KeyringResult result = work(call->cancellable);
      g_main_context_pop_thread_default(context);
      g_main_context_unref(context);
      std::lock_guard lock(call->mutex);
      call->result = std::move(result);
      call->done = true;
      call->finished.notify_all();
    });
  } catch (const std::system_error& e) {
    return outcome(Outcome::Failed, std::string("no thread for the keyring call: ") + e.what());
  }

  const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
  Outcome ended = Outcome::Ok;
  {
    std::unique_lock lock(call->mutex);
    while (!call->done) {
      if (options.stop && options.stop->load()) {
        ended = Outcome::Stopped;
        break;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        ended = Outcome::TimedOut;
        break;
      }
      call->finished.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kStopPoll, deadline - now));
    }
  }
  if (ended == Outcome::Ok) {
    worker.join();
    return std::move(call->result);
  }
  g_cancellable_cancel(call->cancellable);
  bool wound = false;
  {
    std::unique_lock lock(call->mutex);
    wound = call->finished.wait_for(lock, kCancelGrace, [&] { return call->done; });
  }
  if (wound) {
    worker.join();
    // A password that arrived anyway is wiped, not handed out late.
    std::string& secret = call->result.secret;
    if (!secret.empty()) explicit_bzero(secret.data(), secret.size());
  } else {
    worker.detach();
  }
  return outcome(ended);
}

KeyringResult lookupIn(SecretService* service, const KeyringEntry& entry, bool mayPrompt, GCancellable* cancellable) {
  Attributes attributes(entry);
  int flags = SECRET_SEARCH_LOAD_SECRETS;
  if (mayPrompt) flags |= SECRET_SEARCH_UNLOCK;
  GError* error = nullptr;
  GList* items = secret_service_search_sync(service, passwordSchema(), attributes.table(),
                                            SecretSearchFlags(flags), cancellable, &error);
  if (error) return fromError(error);
  if (!items) return outcome(Outcome::NotFound);
  // Unlocked items come first in the answer.
  auto* item = static_cast<SecretItem*>(items->data);
  KeyringResult r;
  if (secret_item_get_locked(item)) {
    r = outcome(Outcome::Locked);
  } else if (SecretValue* value = secret_item_get_secret(item)) {
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    r = outcome(Outcome::Ok);
    r.secret.assign(bytes, length);
    secret_value_unref(value);  // libsecret wipes its copy
  } else {
    r = outcome(Outcome::Failed, "the keyring gave no secret for the item");
  }
  freeItems(items);
  return r;
}

KeyringResult storeIn(SecretService* service, const KeyringEntry& entry, const std::string& label,
                      const std::string& password, bool mayPrompt, GCancellable* cancellable) {
  GError* error = nullptr;
  if (!mayPrompt) {
    // Storing into a locked collection would ask to unlock it: look first.
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, cancellable, &error);
    if (error) return fromError(error);
    if (!collection) return outcome(Outcome::Failed, "there is no default keyring");
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked) return outcome(Outcome::Locked);
  }
  Attributes attributes(entry);
  SecretValue* value = secret_value_new(password.data(), gssize(password.size()), "text/plain");
  const gboolean stored = secret_service_store_sync(service, passwordSchema(), attributes.table(),
                                                    SECRET_COLLECTION_DEFAULT, label.c_str(), value, cancellable,
                                                    &error);
  secret_value_unref(value);
  if (!stored) return error ? fromError(error) : outcome(Outcome::Failed, "the keyring refused the password");
  return outcome(Outcome::Ok);
}

KeyringResult removeIn(SecretService* service, const KeyringEntry& entry, bool mayPrompt, GCancellable* cancellable) {
  Attributes attributes(entry);
  int flags = SECRET_SEARCH_ALL;
  if (mayPrompt) flags |= SECRET_SEARCH_UNLOCK;
  GError* error = nullptr;
  GList* items = secret_service_search_sync(service, passwordSchema(), attributes.table(),
                                            SecretSearchFlags(flags), cancellable, &error);
  if (error) return fromError(error);
  if (!items) return outcome(Outcome::NotFound);
  // Deleting from a locked collection may ask to unlock it.
  if (!mayPrompt) {
    for (GList* i = items; i; i = i->next) {
      if (secret_item_get_locked(static_cast<SecretItem*>(i->data))) {
        freeItems(items);
        return outcome(Outcome::Locked);
      }
    }
  }
  KeyringResult r = outcome(Outcome::Ok);
  for (GList* i = items; i && r.ok(); i = i->next) {
    if (!secret_item_delete_sync(static_cast<SecretItem*>(i->data), cancellable, &error) && error)
      r = fromError(error);
  }
  freeItems(items);
  return r;
}

// Opens the service and runs `op` on it, on the bounded worker.
template <typename Op>
KeyringResult withService(const KeyringOptions& options, Op op) {
  return runBounded(options, [op = std::move(op)](GCancellable* cancellable) {
    Service service(cancellable);
    if (!service.service()) return service.failure;
    return op(service.service(), cancellable);
  });
}

}  // namespace

std::string keyringOutcomeText(const KeyringResult& result) {
  switch (result.outcome) {
    case Outcome::Ok: return "OK";
    case Outcome::NotFound: return "No password for this account in the desktop keyring";
    case Outcome::NoService: return "No desktop keyring is running";
    case Outcome::Locked: return "The desktop keyring is locked";
    case Outcome::Failed: return "The desktop keyring failed: " + result.message;
    case Outcome::TimedOut: return "The desktop keyring did not answer within 10 s";
    case Outcome::Stopped: return "Stopped";
  }
  return "The desktop keyring failed";
}

KeyringResult keyringLookup(const KeyringEntry& entry, const KeyringOptions& options) {
  const bool mayPrompt = options.mayPrompt;
  return withService(options, [entry, mayPrompt](SecretService* service, GCancellable* cancellable) {
    return lookupIn(service, entry, mayPrompt, cancellable);
  });
}

KeyringResult keyringStore(const KeyringEntry& entry, const std::string& label, const std::string& password,
                           const KeyringOptions& options) {
  // The worker's copy of the password is wiped when the worker lets it go.
  struct Wiped {
    std::string text;
    ~Wiped() { explicit_bzero(text.data(), text.size()); }
  };
  auto copy = std::make_shared<Wiped>(Wiped{password});
  const bool mayPrompt = options.mayPrompt;
  return withService(options, [entry, label, copy, mayPrompt](SecretService* service, GCancellable* cancellable) {
    return storeIn(service, entry, label, copy->text, mayPrompt, cancellable);
  });
}

KeyringResult keyringRemove(const KeyringEntry& entry, const KeyringOptions& options) {
  const bool mayPrompt = options.mayPrompt;
  return withService(options, [entry, mayPrompt](SecretService* service, GCancellable* cancellable) {
    return removeIn(service, entry, mayPrompt, cancellable);
  });
}

}  // namespace brivane
