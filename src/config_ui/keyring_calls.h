#pragma once
#include <QWidget>
#include <functional>
#include <string>

#include "platform/keyring.h"
#include "settings/account.h"

namespace brivane {

// The dialogs' way to the desktop keyring: the calls they make, the real
// ones unless a test puts fakes in their place.
struct KeyringCalls {
  std::function<KeyringResult(const KeyringEntry&, const std::string& label, const std::string& password,
                              const KeyringOptions&)>
      store = keyringStore;
  std::function<KeyringResult(const KeyringEntry&, const KeyringOptions&)> remove = keyringRemove;
};

// The keyring entry an account's password is kept under.
KeyringEntry KeyringEntryOf(const TEmlAccount& account);
bool SameKeyringEntry(const KeyringEntry& a, const KeyringEntry& b);
// What keyring managers show for the account: "Brivane: Work (imap.example.org)".
std::string KeyringLabelOf(const TEmlAccount& account);

// Runs `call` on a worker thread and returns its result. Meanwhile `window`
// is disabled under a busy cursor and its events are still handled, so it
// repaints (and a keyring's unlock prompt can take the keyboard). The call
// itself is bounded by its time limit.
KeyringResult RunKeyringCall(QWidget* window, const std::function<KeyringResult()>& call);

}  // namespace brivane
