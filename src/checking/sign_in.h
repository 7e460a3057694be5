#pragma once
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/keyring.h"
#include "platform/secret_command.h"
#include "settings/account.h"

namespace brivane {

// The account's sign-in command failed; detail() says how, in words for
// the account's row ("it exited with status 1: no such entry").
class SignInCommandError : public std::runtime_error {
 public:
  explicit SignInCommandError(const std::string& detail)
      : std::runtime_error("the sign-in command failed (" + detail + ")"), detail_(detail) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// The account's password could not be read from the desktop keyring;
// detail() says why ("The desktop keyring is locked").
class KeyringSignInError : public std::runtime_error {
 public:
  explicit KeyringSignInError(const std::string& detail) : std::runtime_error(detail), detail_(detail) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// What the completeness rules test as the account's credential: the
// command of the command kinds, the keyring's entry (always there to ask)
// for the keyring kind, else the stored password.
inline const std::string& credentialOf(const TEmlAccount& account) {
  static const std::string keyring = "(desktop keyring)";
  if (signInOf(account) == SignIn::Keyring) return keyring;
  return usesSecretCommand(account) ? account.secretCommand : account.password;
}

// True for the kinds whose secret is fetched before connecting.
inline bool fetchesSecret(const TEmlAccount& account) {
  return usesSecretCommand(account) || signInOf(account) == SignIn::Keyring;
}
// True for the kinds whose password a run keeps once it has it.
inline bool keepsPassword(const TEmlAccount& account) {
  return signInOf(account) == SignIn::PasswordCommand || signInOf(account) == SignIn::Keyring;
}

// The keyring entry of an account's password.
inline KeyringEntry keyringEntryOf(const TEmlAccount& account) {
  return {account.isPOP, account.server, account.port, account.username};
}

// The secret one connection of an account signs in with: the stored
// password, or what the account's command prints. The command runs with
// the account's name, user and server in its environment, only when the
// settings store is the user's own; what it writes to standard error goes
// to `log` with the secret masked, the secret itself never does.
class AccountSecret {
 public:
  using Log = std::function<void(const std::string&)>;
  // `inEditor`: the account editor's listing or test, which may let the
  // keyring prompt to unlock and signs in with a password typed there
  // (not saved yet) before asking the keyring; checks never prompt.
  AccountSecret(const TEmlAccount& account, const std::atomic<bool>* stop, Log log, bool inEditor = false);

  // Runs the command for the command kinds, or reads the keyring for the
  // keyring kind (nothing for a stored password). SignInCommandError or
  // KeyringSignInError when that fails.
  void fetch();
  // A password the run already got from the command.
  void use(std::string secret) { secret_ = std::move(secret); }
  const std::string& secret() const { return secret_; }

  // Hands the secret to a POP3 or IMAP4 session: the password, or a token
  // source whose second call (the server refused the first token) runs the
  // command once more.
  template <class Session>
  void applyTo(Session& client) {
    if (signInOf(account_) == SignIn::TokenCommand) {
      client.setTokenSource([this](bool again) {
        if (again) {
          log_(" The server refused the token: running the sign-in command again");
          fetch();
        }
        return secret_;
      });
    } else if (signInOf(account_) == SignIn::PasswordCommand || signInOf(account_) == SignIn::Keyring) {
      client.setPassword(secret_);
    }
  }

  // Tests replace how the command runs.
  std::function<SecretCommandResult(const SecretCommand&)> runner = runSecretCommand;
  std::function<KeyringResult(const KeyringEntry&, const KeyringOptions&)> keyring = keyringLookup;

 private:
  const TEmlAccount& account_;
  const std::atomic<bool>* stop_;
  bool inEditor_;
  Log log_;
  std::string secret_;
};

}  // namespace brivane
