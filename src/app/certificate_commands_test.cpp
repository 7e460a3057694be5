#include "app/certificate_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "settings/accounts.h"
#include "settings/settings.h"

namespace brivane {
namespace {

std::string fingerprint(char d) {  // "DD:DD:...:DD"
  std::string f = {d, d};
  for (int i = 1; i < 32; ++i) f += std::string{':', d, d};
  return f;
}
TEmlAccount account(const std::string& name, Encryption mode = Encryption::Tls) {
  TEmlAccount a;
  a.name = name, a.password = "s\xC3\xA9" "cret", a.server = "mail.example.org", a.port = 993;
  setEncryption(a, mode);
  return a;
}
CertificateInfo certificate(char d) {
  CertificateInfo info;
  info.sha256 = fingerprint(d), info.problem = CertificateProblem::UnknownIssuer, info.reason = "unknown issuer";
  return info;
}

TEST(CertificateCommands, UsageErrorsAndAccountChoice) {
  const struct {
    std::vector<std::string> args;
    bool trust;
    const char* error;  // a part of it; empty when the arguments are good
  } usage[] = {
      {{"Home"}, false, ""}, {{"#2", std::string(64, 'b')}, true, ""}, {{"#2", fingerprint('B')}, true, ""},
      {{}, false, "needs ACCOUNT"}, {{"#2"}, true, "needs ACCOUNT and SHA256"}, {{"Home", "x"}, false, "unexpected"},
      {{"Home", std::string(63, 'b')}, true, "64 hexadecimal"}, {{"Home", "g" + std::string(63, 'b')}, true, "64 hex"},
  };
  for (const auto& c : usage) {
    CertificateArguments parsed;
    const std::string error = parseCertificateArguments(c.args, c.trust, parsed).value_or("");
    EXPECT_TRUE(*c.error ? error.find(c.error) != std::string::npos : error.empty()) << error;
    EXPECT_EQ(parsed.sha256, c.trust && error.empty() ? fingerprint('B') : "");
  }
  const AccountList accounts = {account("Home"), account("Work"), account("#1"), account("Home")};
  const struct {
    const char* which;
    std::optional<size_t> index;
    const char* error;  // its start
  } choices[] = {
      {"Work", 1, ""}, {"#1", 1, ""} /* a number, although an account is named so */, {"#3", 3, ""},
      {"#4", std::nullopt, "there is no account #4 (they are #0 to #3)"},
      {"Home", std::nullopt, "\"Home\" names 2 accounts: #0 Home, #3 Home; name one by its number (#N)"},
      {"home", std::nullopt, "no account is named \"home\" (the accounts: #0 Home, #1 Work, #2 #1, #3 Home)"},
      {"#99999999999", std::nullopt, "no account is named \"#99999999999\""},
  };
  for (const auto& c : choices) {
    const AccountChoice choice = chooseAccount(accounts, c.which);
    EXPECT_EQ(std::pair(choice.index, choice.error.substr(0, strlen(c.error))),
              std::pair(c.index, std::string(c.error)));
  }
}

// The fingerprint is written only when the server presents that very
// certificate and the account is still the one asked; the rest of the list
// is written back as it was.
TEST(CertificateCommands, TrustStoresOnlyTheCertificatePresentedNow) {
  const AccountList stored = {account("Home"), account("Plain", Encryption::None), account("Work")};
  MemoryRegistryStore store;
  const auto presenting = [&store](std::optional<CertificateInfo> info, bool moveServer = false) {
    return [&store, info, moveServer](const TEmlAccount&) {
      const std::string home = std::string(kAccountsKey) + "\\0 Home";
      if (moveServer) store.transact([&](RegistryStore& s) { return s.writeInteger(home, "port", 995); });
      ConnectionTestResult result;
      result.message = "Could not connect", result.certificate = info;
      return result;
    };
  };
  const struct {
    const char* account;
    CertificateInspector inspect;
    const char* said;  // on standard error, or on standard output on success
  } cases[] = {
      {"Home", presenting(certificate('C')), "presents another certificate now"},
      {"#2", presenting(std::nullopt), "Could not connect"},
      {"Plain", presenting(certificate('B')), "uses no encryption"},
      {"Home", presenting(certificate('B'), true), "was changed in the settings meanwhile"},
      {"#2", presenting(certificate('B')), "is now trusted for \"Work\""},
  };
  for (const auto& c : cases) {
    store = MemoryRegistryStore();
    store.transact([&](RegistryStore& s) { return SaveAccounts(s, stored), true; });
    std::ostringstream out, err;
    const int status = trustCertificate(store, {c.account, fingerprint('B')}, c.inspect, out, err);
    EXPECT_NE((status == 0 ? out : err).str().find(c.said), std::string::npos) << c.said << ": " << err.str();
    AccountList after;
    LoadAccounts(store, after);
    ASSERT_EQ(after.size(), 3u) << c.said;
    for (size_t i = 0; i < after.size(); ++i)
      EXPECT_EQ(std::tie(after[i].trustedCertificate, after[i].password, after[i].encryption),
                std::tuple(status == 0 && i == 2 ? fingerprint('B') : "", stored[i].password, stored[i].encryption))
          << c.said << " #" << i;
  }
}

}  // namespace
}  // namespace brivane
