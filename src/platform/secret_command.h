#pragma once
#include <atomic>
#include <chrono>
#include <string>

// Runs an account's sign-in command: a command line of the user's own that
// prints a password or an OAuth 2.0 access token (a password manager, an
// OAuth helper that keeps and refreshes the token).
namespace brivane {

struct SecretCommand {
  std::string command{};  // run as /bin/sh -c COMMAND
  // Handed to the command as BRIVANE_ACCOUNT, BRIVANE_USER, BRIVANE_SERVER
  // (beside the program's own environment).
  std::string account{}, user{}, server{};
  // The settings store the command line came from: it runs only when that
  // file and its folder belong to this user and others cannot write them,
  // since whoever can change the store could make us run anything. Empty:
  // not checked (tests).
  std::string storePath{};
  std::chrono::milliseconds timeLimit{20000};
  // Ends the command at once when it becomes true (the check was asked to stop).
  const std::atomic<bool>* stop = nullptr;
};

struct SecretCommandResult {
  bool ok = false;
  // The first line of standard output, without its CR or LF: the secret.
  std::string secret;
  // Why there is no secret, in words for the account's error row and log:
  // "it exited with status 3", "it was ended by signal 9", "it printed
  // nothing", "it printed an empty line", "it did not finish within 20 s",
  // "it printed 64 KiB without a line end", "it could not be started: ...",
  // "the settings file ... can be changed by other users (...)", "the
  // settings file ... is not a regular file", "it was stopped".
  std::string failure;
  // Standard error as the command wrote it, at most 2 KiB, with the first
  // line of standard output replaced by "***" wherever it appears: for the
  // connection log only (with control characters escaped there).
  std::string errorOutput;
  // Its first line that is not empty, control characters escaped, at most
  // 200 characters: shown after the failure.
  std::string firstErrorLine;
};

// Runs the command with standard input from /dev/null in a process group of
// its own; reads at most 64 KiB of standard output and 2 KiB of standard
// error; past the time limit, or at a stop request, the whole group is ended
// (SIGTERM, then SIGKILL) and reaped. Never throws.
SecretCommandResult runSecretCommand(const SecretCommand& request);

}  // namespace brivane
