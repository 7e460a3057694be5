#pragma once
#include <atomic>
#include <chrono>
#include <string>

// Account passwords in the desktop keyring: the Secret Service (GNOME
// Keyring, KWallet's Secret Service, KeePassXC) through libsecret, under
// this program's schema "org.torvex.Brivane.Password" with the attributes
// "protocol" ("imap"/"pop3"), "server", "port" and "user".
namespace brivane {

struct KeyringEntry {
  bool pop = false;
  std::string server;
  int port = 0;
  std::string user;
};

struct KeyringResult {
  enum class Outcome {
    Ok,         // done; for a lookup `secret` holds the password
    NotFound,   // no password stored for the entry (a lookup), nothing to remove
    NoService,  // no Secret Service answers on the session bus
    Locked,     // the item or collection is locked and no prompt was allowed
    Failed,     // any other error: `message` holds libsecret's words
    TimedOut,   // the time limit passed
    Stopped,    // the stop flag was set
  };
  Outcome outcome = Outcome::Failed;
  std::string secret;
  std::string message;
  bool ok() const { return outcome == Outcome::Ok; }
};

// What each outcome is called in rows and dialogs: "No desktop keyring is
// running", "The desktop keyring is locked", "No password for this account
// in the desktop keyring", "The desktop keyring did not answer within 10 s",
// "The desktop keyring failed: <message>", "Stopped".
std::string keyringOutcomeText(const KeyringResult& result);

struct KeyringOptions {
  // Whether the Secret Service may prompt to unlock (the account editor
  // only: the saver holds the keyboard and `--check` may run unattended).
  bool mayPrompt = false;
  std::chrono::milliseconds timeLimit{10000};
  const std::atomic<bool>* stop = nullptr;
};

// Each call is bounded by the time limit and ends at once on the stop flag;
// none throws. The password is never logged.
KeyringResult keyringLookup(const KeyringEntry& entry, const KeyringOptions& options);
// `label` is what keyring managers show ("Brivane: Work (imap.example.org)").
KeyringResult keyringStore(const KeyringEntry& entry, const std::string& label, const std::string& password,
                           const KeyringOptions& options);
KeyringResult keyringRemove(const KeyringEntry& entry, const KeyringOptions& options);

}  // namespace brivane
