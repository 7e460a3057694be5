// The certificate commands and "brivane --check" against the suite's
// Dovecot, whose certificate does not verify: the trust store is empty.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "dovecot_env.h"
#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

using nlohmann::json;

class CertificateCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto env = test::DovecotEnv::load();
    if (!env) GTEST_SKIP() << "Dovecot harness not running";
    test::writeAll(dir_ / "trust/empty.pem", "");
    // Where the program looks for its store: $XDG_CONFIG_HOME/torvex/Brivane/.
    FileRegistryStore store(dir_ / "config/torvex/Brivane/brivane.reg");
    ASSERT_TRUE(store.load({std::string(kAccountsKey)}));
    AccountList accounts(2);
    for (int i : {0, 1}) {
      TEmlAccount& a = accounts[i];
      a.name = i == 0 ? "Pop TLS" : "Pop STARTTLS", a.isPOP = true, a.server = env->host;
      a.username = env->user, a.password = env->password, a.port = i == 0 ? env->pop3sPort : env->pop3Port;
      setEncryption(a, i == 0 ? Encryption::Tls : Encryption::StartTls);
    }
    ASSERT_TRUE(store.transact([&](RegistryStore& r) { return SaveAccounts(r, accounts), true; }));
  }
  // The real executable on that store, with an empty trust store: status and standard output.
  std::pair<int, std::string> brivane(const std::string& args) {
    const std::string command = "env -u BRIVANE_STORE XDG_CONFIG_HOME='" + (dir_ / "config") + "' XDG_STATE_HOME='" +
                                (dir_ / "state") + "' SSL_CERT_FILE='" + (dir_ / "trust/empty.pem") +
                                "' SSL_CERT_DIR='" + (dir_ / "trust") + "' '" BRIVANE_EXE "' " + args + " >'" +
                                (dir_ / "out.txt") + "'";
    const int ws = std::system(command.c_str());
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, test::readAll(dir_ / "out.txt")};
  }
  test::TempDir dir_{"brivane-cert-cli"};
};

// Refused, shown, a wrong fingerprint turned away, trusted, accepted; over TLS and STARTTLS.
TEST_F(CertificateCli, RefusedUntilTheFingerprintShownIsTrusted) {
  auto [status, out] = brivane("--check --json --timeout 60");
  const json refused = json::parse(out, nullptr, false);
  ASSERT_TRUE(status == 1 && refused.is_object() && refused["accounts"].size() == 2) << out;
  for (const json& a : refused["accounts"])
    ASSERT_TRUE(a["status"] == "ERRCERT" && a["certificate"]["subject"] == "CN=localhost" &&
                a["certificate"]["reason"] != "" && a["encryption"] == (a["index"] == 0 ? "TLS" : "STARTTLS"))
        << a;
  const std::string sha256 = refused["accounts"][0]["certificate"]["sha256"];
  for (const char* name : {"'Pop TLS'", "'#1'"}) {
    std::tie(status, out) = brivane(std::string("--certificate ") + name);
    EXPECT_EQ(status, 0) << name;
    EXPECT_NE(out.find("SHA-256: " + sha256 + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("It does not verify"), std::string::npos) << out;
  }

  const std::string storeBefore = test::readAll(dir_ / "config/torvex/Brivane/brivane.reg");
  std::string wrong = sha256;
  wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
  EXPECT_EQ(brivane("--trust-certificate '#0' " + wrong).first, 1);
  EXPECT_EQ(test::readAll(dir_ / "config/torvex/Brivane/brivane.reg"), storeBefore) << "a refused fingerprint stored";

  // Typed as lower case without colons; the TLS account alone is accepted then.
  std::string typed = std::regex_replace(sha256, std::regex(":"), "");
  for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(brivane("--trust-certificate 'Pop TLS' " + typed).first, 0);
  std::tie(status, out) = brivane("--check --json --timeout 60");
  const json partly = json::parse(out, nullptr, false);
  EXPECT_TRUE(status == 1 && partly["accounts"][0]["status"] == nullptr &&
              partly["accounts"][0]["messages"].size() == 7 && partly["accounts"][1]["status"] == "ERRCERT")
      << out;
  EXPECT_EQ(brivane("--trust-certificate 'Pop STARTTLS' " + sha256).first, 0);
  std::tie(status, out) = brivane("--check --timeout 60");
  EXPECT_EQ(status, 0) << out;
}

}  // namespace
}  // namespace brivane
