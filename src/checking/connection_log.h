#pragma once
#include <cstdio>
#include <string>
#include <string_view>

#include "settings/account.h"

namespace brivane {

// Local date and time as log lines show it: "2026-12-06 19:54:40".
std::string logTimestamp();

// The file name of an account's connection log: "brivan_conn_" + name + ".log".
// Characters that must not reach a file name ("/", "\", NUL, control
// characters, a leading ".") become "_", and very long names are cut, so a
// name never writes outside the log folder.
std::string connectionLogFileName(std::string_view accountName);

// One account's connection log, open for the length of one check. Each line
// is the local date-time, a blank, the account name and the step's text
// (which begins with a blank), UTF-8 with CR LF. Written through at once, so
// the log survives a forced end of the process.
class ConnectionLog {
 public:
  ConnectionLog() = default;
  ~ConnectionLog() { close(); }
  ConnectionLog(const ConnectionLog&) = delete;
  ConnectionLog& operator=(const ConnectionLog&) = delete;

  // Opens (appending) or creates the account's log in `directory` (with its
  // trailing "/"). False when that fails; lines are then dropped.
  bool open(const std::string& directory, const std::string& accountName);
  bool isOpen() const { return file_ != nullptr; }
  void line(std::string_view text);
  void close();

 private:
  std::FILE* file_ = nullptr;
  std::string name_;
};

// Log housekeeping at the start of a full-screen run: deletes every file in
// `directory`, then writes "brivan.log" afresh with one line per account
// ("IMAP4:" or "POP3:", server, ":", port) and the separator line.
// False when the main log cannot be written.
bool ResetLogFolder(const std::string& directory, const AccountList& accounts);

// Appends "Brivane Halted at " + date-time to "brivan.log" in `directory`.
bool AppendHaltLine(const std::string& directory);

// Appends the date-time, a blank and `text` (on one line) to "brivan.log":
// what the saver reports about the run itself (grabs, display power, sound).
bool AppendMainLogLine(const std::string& directory, std::string_view text);

}  // namespace brivane
