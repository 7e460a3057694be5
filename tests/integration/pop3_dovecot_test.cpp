// POP3 sessions against the suite's Dovecot, plain and with TLS from the
// first byte, as the harness's users whose passwords hold a blank, a double
// quote, a backslash and "é".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dovecot_env.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;

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

// Headers (TOP) decoded in message order, a body (RETR) with its dots unstuffed.
TEST_P(Pop3Dovecot, SpecialPasswordsReadHeadersAndBodiesAWrongOneIsRefused) {
  for (const auto& [user, password] : {std::pair{env.blankUser, env.blankPassword}, {env.quoteUser, env.quotePassword}}) {
    SCOPED_TRACE(user);
    Transport t;
    Pop3Session s(&t);
    open(s, user, password);
    EXPECT_EQ(t.usingTls(), GetParam());
    EXPECT_THAT(s.capabilities(), ::testing::Contains("TOP"));
    ASSERT_EQ(s.messageCount(), 7);
    std::vector<std::string> subjects;
    MailMessage m;
    for (long i = 1; i <= 7; ++i) {
      ASSERT_TRUE(s.retrieveHeader(i, m));
      subjects.push_back(m.subject);
    }
    EXPECT_THAT(subjects, ElementsAre("Welcome to the test mailbox", "Grüße aus Köln", "Привет, мир",
                                      "This subject is folded over two lines", "", "Multipart with €",
                                      "Lines starting with dots"));
    EXPECT_THAT(m.from, ElementsAre(MailAddress{"Dot Stuffer", "dots@example.org"}));
    ASSERT_TRUE(s.retrieve(7, m));
    EXPECT_THAT(m.body, ElementsAre(".", "..", ".leading dot", "...three", "last line"));
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
