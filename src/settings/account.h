#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

// How a connection to the mail server is protected.
enum class Encryption {
  Tls,       // TLS from the first byte (ports 993, 995)
  StartTls,  // plain connection upgraded by STARTTLS / STLS before the login, never without (143, 110)
  None,      // no encryption: the password travels in clear text (143, 110)
};

// How an account signs in. Room is kept for more kinds (a desktop keyring).
enum class SignIn {
  Password,         // the stored password (LOGIN, USER/PASS)
  PasswordCommand,  // a password that `secretCommand` prints (LOGIN, USER/PASS)
  TokenCommand,     // an OAuth 2.0 access token that `secretCommand` prints (SASL OAUTHBEARER or XOAUTH2)
  Keyring,          // a password kept in the desktop keyring (Secret Service), never in the store
};

// One mail account. The settings dialog edits the list, the saver loads it
// once and hands each checker a private copy. Texts are UTF-8; the password
// is held in clear while in memory.
struct TEmlAccount {
  std::string name;      // display name chosen by the user
  bool isPOP = false;    // true: POP3; false: IMAP4
  std::string username;
  std::string password;
  std::string server;
  int32_t port = 0;
  bool useTLS = false;   // TLS from the first byte; kept true exactly for Encryption::Tls
  // The stored "encryption" value, when the store has a valid one; without
  // it `useTLS` decides (see encryptionOf).
  std::optional<Encryption> encryption{};
  // SHA-256 fingerprint ("AB:CD:...") of the one certificate the user
  // trusted for this server and port although it does not verify; empty
  // for none.
  std::string trustedCertificate{};
  // The stored "signIn" value, when the store has a valid one; without it
  // the account signs in with `password` (see signInOf).
  std::optional<SignIn> signIn{};
  // The command (a /bin/sh command line) that prints the password or token
  // of the command kinds; stored as "secretCommand".
  std::string secretCommand{};
  // Folders to watch (IMAP4): "path;caption" entries such as "INBOX;Inbox".
  std::vector<std::string> folders;

  // Run-time only, never stored: carried from one check cycle to the next.
  bool hasMessages = false;
  int32_t lastMessageCount = 0;  // POP3: message count of the previous check
};

// The account's encryption: the stored mode, else TLS when useTLS, else none.
inline Encryption encryptionOf(const TEmlAccount& account) {
  return account.encryption.value_or(account.useTLS ? Encryption::Tls : Encryption::None);
}
// Sets the mode and keeps useTLS in step with it.
inline void setEncryption(TEmlAccount& account, Encryption mode) {
  account.encryption = mode;
  account.useTLS = mode == Encryption::Tls;
}

inline SignIn signInOf(const TEmlAccount& account) { return account.signIn.value_or(SignIn::Password); }
// True for the kinds whose secret a command prints.
inline bool usesSecretCommand(const TEmlAccount& account) {
  return signInOf(account) == SignIn::PasswordCommand || signInOf(account) == SignIn::TokenCommand;
}

// The ordered account list; an account's index is its identity during a run.
using AccountList = std::vector<TEmlAccount>;

}  // namespace brivane
