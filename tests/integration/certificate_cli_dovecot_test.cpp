// The terminal's certificate commands and "brivane --check" against the
// suite's Dovecot, whose self-made certificate never verifies here: the
// trust store is an empty file.
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

namespace fs = std::filesystem;
using nlohmann::json;

struct ProcessRun {
  int status = -1;
  std::string out, err;
};

class CertificateCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "Dovecot harness not running";
    env_ = *loaded;
    test::writeAll(dir_ / "empty-trust.pem", "");
    fs::create_directories(dir_ / "empty-trust");
    // The store where the program looks for it: $XDG_CONFIG_HOME/torvex/Brivane/.
    FileRegistryStore store(storePath_);
    ASSERT_TRUE(store.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(store.transact([&](RegistryStore& r) {
      SaveAccounts(r, {account("Pop TLS", env_.pop3sPort, Encryption::Tls),
                       account("Pop STARTTLS", env_.pop3Port, Encryption::StartTls)});
      return true;
    }));
  }
  TEmlAccount account(const std::string& name, int port, Encryption mode) const {
    TEmlAccount a;
    a.name = name, a.isPOP = true, a.username = env_.user, a.password = env_.password;
    a.server = env_.host, a.port = port;
    setEncryption(a, mode);
    return a;
  }
  // The real executable on the store, with an empty trust store.
  ProcessRun brivane(const std::string& args) {
    const std::string command = "env -u BRIVANE_STORE XDG_CONFIG_HOME='" + (dir_ / "config") + "' XDG_STATE_HOME='" +
                                (dir_ / "state") + "' SSL_CERT_FILE='" + (dir_ / "empty-trust.pem") +
                                "' SSL_CERT_DIR='" + (dir_ / "empty-trust") + "' '" BRIVANE_EXE "' " + args + " >'" +
                                (dir_ / "out.txt") + "' 2>'" + (dir_ / "err.txt") + "'";
    const int ws = std::system(command.c_str());
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, test::readAll(dir_ / "out.txt"), test::readAll(dir_ / "err.txt")};
  }
  std::string storeText() const { return test::readAll(storePath_); }

  test::DovecotEnv env_;
  test::TempDir dir_{"brivane-cert-cli"};
  const std::string storePath_ = dir_ / "config/torvex/Brivane/brivane.reg";
};

// Refused, looked at, a wrong fingerprint turned away, trusted, accepted:
// over TLS and over STARTTLS.
TEST_F(CertificateCli, RefusedUntilTheFingerprintShownIsTrusted) {
  ProcessRun check = brivane("--check --json --timeout 60");
  EXPECT_EQ(check.status, 1) << check.err;
  const json refused = json::parse(check.out, nullptr, false);
  ASSERT_TRUE(refused.is_object() && refused["accounts"].size() == 2) << check.out;
  for (const json& a : refused["accounts"]) {
    EXPECT_EQ(a["status"], "ERRCERT") << a;
    EXPECT_EQ(a["certificate"]["subject"], "CN=localhost") << a;
    EXPECT_FALSE(a["certificate"]["reason"].get<std::string>().empty()) << a;
  }
  EXPECT_EQ(std::pair(refused["accounts"][0]["encryption"], refused["accounts"][1]["encryption"]),
            std::pair(json("TLS"), json("STARTTLS")));

  // --certificate prints the fingerprint the check refused, over either encryption.
  std::string sha256;
  for (const char* name : {"'Pop TLS'", "'#1'"}) {
    const ProcessRun shown = brivane(std::string("--certificate ") + name);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(shown.out, m, std::regex("SHA-256: ([0-9A-F:]{95})\n"))) << shown.out << shown.err;
    EXPECT_EQ(std::tuple(shown.status, m[1].str(), shown.out.find("It does not verify") != std::string::npos),
              std::tuple(0, refused["accounts"][0]["certificate"]["sha256"].get<std::string>(), true));
    sha256 = m[1];
  }

  // A fingerprint the server does not present is refused and nothing is written.
  const std::string before = storeText();
  std::string wrong = sha256;
  wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
  const ProcessRun refusedTrust = brivane("--trust-certificate '#0' " + wrong);
  EXPECT_EQ(std::pair(refusedTrust.status, refusedTrust.err.find("presents another certificate") != std::string::npos),
            std::pair(1, true)) << refusedTrust.err;
  EXPECT_EQ(storeText(), before);

  // Trusted in the form typed (lower case, no colons) for the TLS account: it alone is accepted.
  std::string typed = std::regex_replace(sha256, std::regex(":"), "");
  for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(brivane("--trust-certificate 'Pop TLS' " + typed).status, 0);
  check = brivane("--check --json --timeout 60");
  const json partly = json::parse(check.out, nullptr, false);
  ASSERT_TRUE(partly.is_object()) << check.out;
  EXPECT_EQ(std::tuple(check.status, partly["accounts"][0]["status"], partly["accounts"][0]["messages"].size(),
                       partly["accounts"][1]["status"]),
            std::tuple(1, json(nullptr), 7u, json("ERRCERT")));

  EXPECT_EQ(brivane("--trust-certificate 'Pop STARTTLS' " + sha256).status, 0);
  check = brivane("--check --timeout 60");
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  AccountList stored;
  FileRegistryStore store(storePath_);
  ASSERT_TRUE(store.load());
  LoadAccounts(store, stored);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(std::pair(stored[0].trustedCertificate, stored[1].trustedCertificate), std::pair(sha256, sha256));
}

}  // namespace
}  // namespace brivane
