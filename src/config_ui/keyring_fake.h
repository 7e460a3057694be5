#pragma once
#include <string>
#include <vector>

#include "config_ui/keyring_calls.h"

namespace brivane::test {

// A keyring for the dialogs' tests: records each call as
// "store imap ann@localhost:143 <password> <label>" or
// "remove imap ann@localhost:143" and answers with the outcomes set.
// The calls run on a worker thread that is joined before the dialog goes
// on, so the record is read without a lock.
struct FakeKeyring {
  std::vector<std::string> calls;
  KeyringResult::Outcome storeOutcome = KeyringResult::Outcome::Ok;
  KeyringResult::Outcome removeOutcome = KeyringResult::Outcome::Ok;
  bool prompted = true;  // every call allowed the keyring to prompt

  static std::string name(const KeyringEntry& e) {
    return std::string(e.pop ? "pop3 " : "imap ") + e.user + "@" + e.server + ":" + std::to_string(e.port);
  }
  KeyringCalls seam() {
    KeyringCalls c;
    c.store = [this](const KeyringEntry& e, const std::string& label, const std::string& password,
                     const KeyringOptions& o) {
      prompted = prompted && o.mayPrompt;
      calls.push_back("store " + name(e) + " " + password + " " + label);
      return result(storeOutcome);
    };
    c.remove = [this](const KeyringEntry& e, const KeyringOptions& o) {
      prompted = prompted && o.mayPrompt;
      calls.push_back("remove " + name(e));
      return result(removeOutcome);
    };
    return c;
  }
  static KeyringResult result(KeyringResult::Outcome outcome) {
    KeyringResult r;
    r.outcome = outcome;
    if (outcome == KeyringResult::Outcome::Failed) r.message = "No such interface";
    return r;
  }
};

}  // namespace brivane::test
