// POP3 sessions against the suite's Dovecot, plain and with TLS, as the users
// whose passwords hold a blank, '"', '\' and "é"; a whole message (RETR) with
// its dots unstuffed (headers and previews are the checkers' tests).
#include <gmock/gmock.h>

#include "dovecot_env.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

class Pop3Dovecot : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "the Dovecot harness is not running";
    env = *loaded;
  }
  void open(Pop3Session& s, const std::string& user, const std::string& password) {
    s.setHost(env.host);
    s.setPort(GetParam() ? env.pop3sPort : env.pop3Port);
    if (GetParam()) s.setTlsMode(TlsMode::Implicit);
    s.setUsername(user);
    s.setPassword(password);
    s.setConnectTimeout(10000);
    s.connect();
  }
  test::DovecotEnv env;
};

TEST_P(Pop3Dovecot, SpecialPasswordsLogInAWrongOneIsRefused) {
  for (const auto& [user, password] : {std::pair{env.blankUser, env.blankPassword}, {env.quoteUser, env.quotePassword}}) {
    SCOPED_TRACE(user);
    Transport t;
    Pop3Session s(&t);
    open(s, user, password);
    EXPECT_EQ(t.usingTls(), GetParam());
    ASSERT_EQ(s.messageCount(), 7);
    MailMessage m;
    ASSERT_TRUE(s.retrieve(7, m));
    EXPECT_THAT(m.body, ::testing::ElementsAre(".", "..", ".leading dot", "...three", "last line"));
    s.disconnect();
  }
  Transport t;
  Pop3Session s(&t);
  EXPECT_THROW(open(s, env.user, "wrong"), Pop3ReplyError);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Pop3Dovecot, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace brivane
