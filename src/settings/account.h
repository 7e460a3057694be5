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

// What the message panel may show of an account, from the most to the
// least; stored as the dword "panelPrivacy" (0..3). Checkers of the panel
// fetch no more than the level shows.
enum class PanelPrivacy : uint8_t {
  Everything = 0,   // senders, subjects and (when the settings show them) previews
  NoPreviews = 1,   // senders and subjects
  SendersOnly = 2,  // each sender with its count of messages
  CountsOnly = 3,   // the folder rows "Inbox (12)" only
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
  // What the panel may show (stored as "panelPrivacy"; absent: everything).
  PanelPrivacy panelPrivacy = PanelPrivacy::Everything;
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

// The stricter of two levels.
inline PanelPrivacy stricterPrivacy(PanelPrivacy a, PanelPrivacy b) { return a > b ? a : b; }
// What the panel shows of an account: its own level, at least NoPreviews
// when the settings show no previews.
inline PanelPrivacy shownPrivacy(const TEmlAccount& account, bool displayPreviews) {
  return stricterPrivacy(account.panelPrivacy, displayPreviews ? PanelPrivacy::Everything : PanelPrivacy::NoPreviews);
}

// The ordered account list; an account's index is its identity during a run.
using AccountList = std::vector<TEmlAccount>;

}  // namespace brivane
