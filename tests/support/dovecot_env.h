#pragma once
#include <optional>
#include <string>

// What the Dovecot test harness (dovecot/start.sh) wrote into its env file:
// ports, addresses, test users and its CA. Tests in tests/integration/ get
// the CTest fixture "dovecot", $BRIVANE_DOVECOT_ENV (else the build tree's
// dovecot-test/env) and $SSL_CERT_FILE naming the harness's CA, so that its
// certificate verifies for `host` (and "localhost") but not for `altHost`.
// Each user has his own copy of the Maildirs filled from tests/data/mail
// (INBOX 7 messages, 1 seen; folders "Archive", "Sent Items", "Entwürfe").
// Password users cannot use the OAuth mechanisms, nor the OAuth user PLAIN.
namespace brivane::test {

struct DovecotEnv {
  std::string host = "127.0.0.1";
  std::string altHost = "127.0.0.2";  // the same server at an address its certificate does not name
  std::string caFile;                 // the CA (PEM) that signed the server's certificate
  int imapPort = 0, pop3Port = 0, imapsPort = 0, pop3sPort = 0;
  std::string user, password;                   // main user, POP3 leaves flags alone
  std::string blankUser, blankPassword;         // the password holds a blank
  std::string quoteUser, quotePassword;         // the password holds '"', '\' and "é"
  std::string popDefaultUser, popDefaultPassword;  // POP3 retrieval sets \Seen (server default)
  // Signs in with XOAUTH2 or OAUTHBEARER only: the one valid token is the
  // first line of tokenFile, read at each sign-in (a test may replace the
  // file: write another and rename it over); every other token is refused.
  std::string oauthUser, tokenFile;
  std::string mailRoot;                         // the harness's copy of the Maildirs

  // Empty when the env file cannot be read (harness not running).
  static std::optional<DovecotEnv> load();
};

}  // namespace brivane::test
