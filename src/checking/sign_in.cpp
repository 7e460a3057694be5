#include "checking/sign_in.h"

#include "common/text.h"
#include "platform/registry_file.h"

namespace brivane {
namespace {

// `text` with every occurrence of `secret` replaced, for the log.
std::string masked(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = 0; (at = text.find(secret, at)) != std::string::npos; at += 3) text.replace(at, secret.size(), "***");
  return text;
}

}  // namespace

AccountSecret::AccountSecret(const TEmlAccount& account, const std::atomic<bool>* stop, Log log, bool inEditor)
    : account_(account), stop_(stop), inEditor_(inEditor), log_(log ? std::move(log) : [](const std::string&) {}) {}

void AccountSecret::fetch() {
  if (signInOf(account_) == SignIn::Keyring) {
    if (inEditor_ && !account_.password.empty()) {
      secret_ = account_.password;  // typed in the editor, not saved yet
      return;
    }
    log_(" Reading the password from the desktop keyring");
    KeyringOptions options;
    options.mayPrompt = inEditor_;
    options.stop = stop_;
    const KeyringResult result = keyring(keyringEntryOf(account_), options);
    if (!result.ok()) {
      secret_.clear();
      throw KeyringSignInError(keyringOutcomeText(result));
    }
    secret_ = result.secret;
    return;
  }
  if (!usesSecretCommand(account_)) {
    secret_ = account_.password;
    return;
  }
  SecretCommand command;
  command.command = account_.secretCommand;
  command.account = account_.name;
  command.user = account_.username;
  command.server = account_.server;
  command.storePath = FileRegistryStore::defaultPath();
  command.stop = stop_;
  log_(" Running the sign-in command");
  const SecretCommandResult result = runner(command);
  if (!result.errorOutput.empty())
    log_(" The sign-in command wrote: " + escapeControl(masked(result.errorOutput, result.secret)));
  if (!result.ok) {
    secret_.clear();
    throw SignInCommandError(result.failure + (result.firstErrorLine.empty() ? "" : ": " + result.firstErrorLine));
  }
  secret_ = result.secret;
}

}  // namespace brivane
