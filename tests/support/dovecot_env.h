#pragma once
#include <optional>
#include <string>

// What the Dovecot test harness (dovecot/start.sh) wrote into its env file:
// ports and test users. Tests in tests/integration/ get the CTest fixture
// "dovecot" and $BRIVANE_DOVECOT_ENV (else the build tree's dovecot-test/env).
// Each user has his own copy of the Maildirs filled from tests/data/mail
// (INBOX 7 messages, 1 seen; folders "Archive", "Sent Items", "Entwürfe").
namespace brivane::test {

struct DovecotEnv {
  std::string host = "127.0.0.1";
  int imapPort = 0, pop3Port = 0, imapsPort = 0, pop3sPort = 0;
  std::string user, password;                   // main user, POP3 leaves flags alone
  std::string blankUser, blankPassword;         // the password holds a blank
  std::string quoteUser, quotePassword;         // the password holds '"', '\' and "é"
  std::string popDefaultUser, popDefaultPassword;  // POP3 retrieval sets \Seen (server default)
  std::string mailRoot;                         // the harness's copy of the Maildirs

  // Empty when the env file cannot be read (harness not running).
  static std::optional<DovecotEnv> load();
};

}  // namespace brivane::test
