#pragma once
#include <map>
#include <optional>
#include <string>

// Reads what the Dovecot test harness (tests/support/dovecot/start.sh) wrote
// into its environment file: ports and test users. Integration tests require
// the CTest fixture "dovecot" (FIXTURES_REQUIRED dovecot) and find the file
// through $BRIVANE_DOVECOT_ENV.
//
//   auto env = brivane::test::DovecotEnv::load();
//   if (!env) GTEST_SKIP() << "Dovecot harness not running";
//   session.setPort(env->pop3Port);  // user env->user, password env->password
//
// Users (all share the same Maildir set filled from tests/data/mail):
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

  // Empty when $BRIVANE_DOVECOT_ENV is unset or the file cannot be read.
  static std::optional<DovecotEnv> load();
  static std::optional<DovecotEnv> loadFile(const std::string& path);
};

}  // namespace brivane::test
