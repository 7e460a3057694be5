#include "app/certificate_commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "settings/accounts.h"
#include "settings/settings.h"

namespace brivane {
namespace {

// "DD:DD:...:DD", the stored form of a fingerprint.
std::string fingerprint(char digit) {
  std::string f;
  for (int i = 0; i < 32; ++i) f += std::string(i ? ":" : "") + digit + digit;
  return f;
}

TEmlAccount account(const std::string& name, Encryption mode = Encryption::Tls, std::string pinned = {}) {
  TEmlAccount a;
  a.name = name, a.username = "ann", a.password = "s\xC3\xA9" "cret", a.server = "mail.example.org";
  a.port = mode == Encryption::Tls ? 993 : 143, a.trustedCertificate = std::move(pinned);
  setEncryption(a, mode);
  return a;
}

CertificateInfo certificate(char digit, bool verifies = false) {
  return {.subject = "CN=mail.example.org", .issuer = "CN=Private CA", .notBefore = "2026-12-01T00:00:00Z",
          .notAfter = "2027-12-01T00:00:00Z", .sha256 = fingerprint(digit), .verifies = verifies,
          .problem = verifies ? CertificateProblem::None : CertificateProblem::UnknownIssuer,
          .reason = verifies ? "" : "unknown issuer or self-signed"};
}

TEST(CertificateArguments, UsageErrorsAndGoodForms) {
  const std::string lower(64, 'a');
  const struct {
    std::vector<std::string> args;
    bool trust;
    const char* error;  // a word of the error, nullptr when good
  } cases[] = {
      {{"Home"}, false, nullptr},
      {{"#2", lower}, true, nullptr},
      {{"#2", fingerprint('A')}, true, nullptr},
      {{}, false, "needs ACCOUNT"},
      {{"#2"}, true, "needs ACCOUNT and SHA256"},
      {{""}, false, "empty"},
      {{"Home", "extra"}, false, "unexpected argument \"extra\""},
      {{"Home", lower, "extra"}, true, "unexpected"},
      {{"Home", lower.substr(1)}, true, "64 hexadecimal digits"},
      {{"Home", "G" + lower.substr(1)}, true, "64 hexadecimal digits"},
      {{"Home", ":" + fingerprint('A')}, true, "64 hexadecimal digits"},
  };
  for (const auto& c : cases) {
    CertificateArguments parsed;
    const auto error = parseCertificateArguments(c.args, c.trust, parsed);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    if (c.error == nullptr) {
      ASSERT_FALSE(error.has_value()) << *error;
      EXPECT_EQ(parsed.account, c.args[0]);
      EXPECT_EQ(parsed.sha256, c.trust ? fingerprint('A') : "");
    } else {
      ASSERT_TRUE(error.has_value());
      EXPECT_NE(error->find(c.error), std::string::npos) << *error;
    }
  }
}

TEST(CertificateArguments, AccountByNameOrNumber) {
  const AccountList accounts = {account("Home"), account("Work"), account("#1"), account("Home")};
  const struct {
    const char* spec;
    std::optional<size_t> index;
    const char* error;
  } cases[] = {
      {"Work", 1, ""},
      {"#1", 1, ""},  // a number, although an account is named so
      {"#3", 3, ""},
      {"#4", std::nullopt, "there is no account #4 (they are #0 to #3)"},
      {"Home", std::nullopt, "\"Home\" names 2 accounts: #0 Home, #3 Home; name one by its number (#N)"},
      {"home", std::nullopt, "no account is named \"home\" (the accounts: #0 Home, #1 Work, #2 #1, #3 Home)"},
      {"#", std::nullopt, "no account is named \"#\""},
      {"#99999999999", std::nullopt, "no account is named \"#99999999999\""},
  };
  for (const auto& c : cases) {
    const AccountChoice choice = chooseAccount(accounts, c.spec);
    EXPECT_EQ(choice.index, c.index) << c.spec;
    EXPECT_EQ(choice.error.substr(0, std::string(c.error).size()), c.error) << c.spec;
  }
  EXPECT_EQ(chooseAccount({}, "#0").error, "there is no account #0: none is set up");
}

TEST(CertificateReport, VerificationTrustAndTheWayToTrust) {
  const std::string trustHint = "Trust it only if its SHA-256 fingerprint is the one the server's administrator gave "
                                "you:\n  brivane --trust-certificate '#2' " + fingerprint('B') + "\n";
  EXPECT_EQ(formatCertificateReport(account("Home"), 2, certificate('B')),
            "The certificate of \"Home\" (#2, IMAP4, mail.example.org:993, TLS)\n"
            "  Subject: CN=mail.example.org\n  Issuer: CN=Private CA\n"
            "  Valid from 2026-12-01T00:00:00Z to 2027-12-01T00:00:00Z\n  SHA-256: " + fingerprint('B') + "\n"
            "  Problem: unknown issuer or self-signed\n"
            "It does not verify: unknown issuer or self-signed.\nNo certificate is trusted for this account.\n" +
                trustHint);
  const struct {
    const char* name;
    TEmlAccount account;
    CertificateInfo info;
    std::string tail;  // the report's lines after the certificate's
  } cases[] = {
      {"verifies", account("Home"), certificate('B', true),
       "It verifies against the system's trusted certificates.\nNo certificate is trusted for this account.\n"},
      {"the trusted one (stored in another form)", account("Home", Encryption::Tls, std::string(64, 'b')),
       certificate('B'), "It does not verify: unknown issuer or self-signed.\n"
                         "It is the certificate trusted for this account.\n"},
      {"changed since trusted", account("Home", Encryption::StartTls, fingerprint('C')), certificate('B'),
       "It does not verify: unknown issuer or self-signed.\nIt is not the certificate trusted for this account "
       "(that one is " + fingerprint('C') + ").\n" + trustHint},
  };
  for (const auto& c : cases) {
    const std::string report = formatCertificateReport(c.account, 2, c.info);
    EXPECT_EQ(report.substr(report.find("\nIt ") + 1), c.tail) << c.name;
  }
}

// The trust command over a store: the fingerprint is written only when the
// server presents that very certificate and the account is still the one
// that was asked; the rest of the list is written back as it was.
TEST(TrustCertificate, StoresOnlyTheCertificatePresentedNow) {
  const AccountList stored = {account("Home"), account("Plain", Encryption::None), account("Work")};
  const auto presenting = [](std::optional<CertificateInfo> info, std::string message = {}) {
    return [info, message](const TEmlAccount&) {
      return ConnectionTestResult{.outcome = info ? ConnectionTestResult::Outcome::Success
                                                  : ConnectionTestResult::Outcome::CannotConnect,
                                  .message = message, .certificate = info};
    };
  };
  MemoryRegistryStore store;
  const struct {
    const char* name;
    const char* account;
    CertificateInspector inspect;
    int status;
    const char* said;  // on standard error, or standard output on success
  } cases[] = {
      {"another certificate", "Home", presenting(certificate('C')), 1, "presents another certificate now"},
      {"no connection", "#2", presenting(std::nullopt, "Could not connect to mail.example.org"), 1,
       "Could not connect to mail.example.org"},
      {"no encryption", "Plain", presenting(certificate('B')), 1, "uses no encryption"},
      {"unknown account", "Nobody", presenting(certificate('B')), 1, "no account is named \"Nobody\""},
      {"the account changed meanwhile", "Home",
       [&](const TEmlAccount& a) {
         store.transact([](RegistryStore& s) {
           AccountList list;
           LoadAccounts(s, list);
           list[0].port = 995;
           SaveAccounts(s, list);
           return true;
         });
         return presenting(certificate('B'))(a);
       },
       1, "was changed in the settings meanwhile"},
      {"the one presented", "#2", presenting(certificate('B')), 0, "is now trusted for \"Work\""},
  };
  for (const auto& c : cases) {
    store = MemoryRegistryStore();
    store.transact([&](RegistryStore& s) { return SaveAccounts(s, stored), true; });
    std::ostringstream out, err;
    const int status = trustCertificate(store, {c.account, fingerprint('B')}, c.inspect, out, err);
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_NE((status == 0 ? out : err).str().find(c.said), std::string::npos) << c.name << ": " << err.str();
    AccountList after;
    LoadAccounts(store, after);
    ASSERT_EQ(after.size(), 3u) << c.name;
    for (size_t i = 0; i < after.size(); ++i) {
      const bool trusted = c.status == 0 && i == 2;
      EXPECT_EQ(after[i].trustedCertificate, trusted ? fingerprint('B') : "") << c.name << " #" << i;
      EXPECT_EQ(std::tie(after[i].name, after[i].password, after[i].encryption),
                std::tie(stored[i].name, stored[i].password, stored[i].encryption))
          << c.name << " #" << i;
    }
  }
}

}  // namespace
}  // namespace brivane
