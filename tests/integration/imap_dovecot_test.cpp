// IMAP4 sessions against the suite's Dovecot, plain and with TLS, as the
// users whose passwords hold a blank, '"', '\' and "é" (counts and fetches
// over Dovecot are the checkers' tests).
#include <gmock/gmock.h>

#include "dovecot_env.h"
#include "protocols/imap_session.h"

namespace brivane {
namespace {

class ImapDovecot : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "the Dovecot harness is not running";
    env = *loaded;
  }
  void open(ImapSession& s, Transport& t, const std::string& name, const std::string& pass) {
    s.setTransport(&t);
    s.setHost(env.host);
    if (GetParam()) s.setTlsMode(TlsMode::Implicit);
    s.setPort(GetParam() ? env.imapsPort : env.imapPort);
    s.setUsername(name);
    s.setPassword(pass);
    s.setConnectTimeout(10000);
    s.connect(true);
  }
  test::DovecotEnv env;
};

TEST_P(ImapDovecot, SpecialPasswordsLogInAndListTheFoldersAWrongOneIsRefused) {
  for (const auto& [name, pass] : {std::pair{env.blankUser, env.blankPassword}, {env.quoteUser, env.quotePassword}}) {
    SCOPED_TRACE(name);
    Transport t;
    ImapSession s;
    open(s, t, name, pass);
    EXPECT_EQ(t.usingTls(), GetParam());
    EXPECT_THAT(s.capabilities(), ::testing::Contains("IMAP4rev1"));
    std::vector<std::string> names, wire;
    ASSERT_TRUE(s.listFolders(names, &wire));
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("INBOX", "Archive", "Sent Items", "Entwürfe"));
    EXPECT_THAT(wire, ::testing::Contains("Entw&APw-rfe"));
    s.disconnect();
  }
  Transport t;
  ImapSession s;
  open(s, t, env.user, "wrong");
  EXPECT_EQ(s.state(), ImapState::NonAuthenticated);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ImapDovecot, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace brivane
