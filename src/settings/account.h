#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace brivane {

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
  bool useTLS = false;   // TLS from the first byte
  // Folders to watch (IMAP4): "path;caption" entries such as "INBOX;Inbox".
  std::vector<std::string> folders;

  // Run-time only, never stored: carried from one check cycle to the next.
  bool hasMessages = false;
  int32_t lastMessageCount = 0;  // POP3: message count of the previous check
};

// The ordered account list; an account's index is its identity during a run.
using AccountList = std::vector<TEmlAccount>;

}  // namespace brivane
