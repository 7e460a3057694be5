#pragma once
#include <map>
#include <optional>
#include <string>

// Reads what the Dovecot test harness (tests/support/dovecot/start.sh) wrote
// into its environment file: ports and test users. Integration tests require
// the CTest fixture "dovecot" (FIXTURES_REQUIRED dovecot) and find the file
// through $BRIVANE_DOVECOT_ENV (else the build tree's dovecot-test/env).
// Put such tests in tests/integration/*_test.cpp: that executable has the
// fixture and the variable already.
//
//   auto env = brivane::test::DovecotEnv::load();
//   if (!env) GTEST_SKIP() << "Dovecot harness not running";
//   session.setPort(env->pop3Port);  // user env->user, password env->password
//
// Users (each has his own copy of the Maildirs filled from tests/data/mail:
// INBOX 7 messages, 1 seen; folders "Archive", "Sent Items", "Entwürfe"):
//   user / password          main user, POP3 leaves flags alone
//   blankUser / blankPassword   the password holds a blank
//   quoteUser / quotePassword   the password holds '"', '\' and "é"
//   popDefaultUser / popDefaultPassword   POP3 retrieval sets \Seen (server default)
namespace brivane::test {

struct DovecotEnv {
  std::string host = "127.0.0.1";
  int imapPort = 0, pop3Port = 0, imapsPort = 0, pop3sPort = 0;
  std::string user, password;
  std::string blankUser, blankPassword;
  std::string quoteUser, quotePassword;
  std::string popDefaultUser, popDefaultPassword;
  std::string mailRoot;  // the harness's copy of the Maildirs
  std::map<std::string, std::string> values;  // every entry of the file

  // Empty when the env file cannot be read (harness not running).
  static std::optional<DovecotEnv> load();
  static std::optional<DovecotEnv> loadFile(const std::string& path);
};

}  // namespace brivane::test
