// POP3 sessions against the suite's Dovecot, plain and with TLS from the
// first byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

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

TEST_P(Pop3Dovecot, SpecialPasswordsLogInAWrongOneIsRefused) {
  for (const auto& [user, password] : {std::pair{env.blankUser, env.blankPassword},
                                       std::pair{env.quoteUser, env.quotePassword}}) {
    Transport t;
    Pop3Session s(&t);
    open(s, user, password);
    EXPECT_EQ(t.usingTls(), GetParam());
    EXPECT_EQ(s.messageCount(), 7) << user;
    s.disconnect();
  }
  Transport t;
  Pop3Session s(&t);
  EXPECT_THROW(open(s, env.user, "wrong"), Pop3ReplyError);
}

// Headers (TOP) decoded, bodies (RETR) with their dots unstuffed, and the
// main user's server keeps the flags as they were.
TEST_P(Pop3Dovecot, HeadersDecodedBodiesUnstuffed) {
  Transport t;
  Pop3Session s(&t);
  open(s, env.user, env.password);
  EXPECT_THAT(s.capabilities(), ::testing::Contains("TOP"));
  const long count = s.messageCount();
  ASSERT_EQ(count, 7);
  std::map<std::string, MailMessage> headers, bodies;
  MailMessage m;
  for (long i = 1; i <= count; ++i) {
    ASSERT_TRUE(s.retrieveHeader(i, m));
    headers[m.subject] = m;
    ASSERT_TRUE(s.retrieve(i, m));
    bodies[m.subject] = m;
  }
  s.disconnect();
  std::vector<std::string> subjects;
  for (const auto& [subject, message] : headers) subjects.push_back(subject);
  EXPECT_THAT(subjects, ::testing::UnorderedElementsAre("Welcome to the test mailbox", "Grüße aus Köln",
                                                        "Привет, мир", "This subject is folded over two lines", "",
                                                        "Multipart with €", "Lines starting with dots"));
  EXPECT_EQ(headers["Grüße aus Köln"].from.at(0).name, "Jörg Schäfer");
  EXPECT_EQ(headers["Grüße aus Köln"].date, 1772539200);  // 07:00 EST is 12:00 UTC
  EXPECT_EQ(headers["Welcome to the test mailbox"].date, 1772539200);
  EXPECT_THAT(headers["Привет, мир"].from, ElementsAre(MailAddress{"Müller, Hans", "hans@example.de"}));
  EXPECT_THAT(headers[""].from, ElementsAre(MailAddress{"No Subject Sender", "nosubject@example.com"}));
  const auto& multipart = bodies["Multipart with €"].body;
  ASSERT_GE(multipart.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(multipart.begin(), multipart.begin() + 2),
              ElementsAre(".This preamble line starts with a dot.", "..and this one with two."));
  EXPECT_THAT(bodies["Lines starting with dots"].body, ElementsAre(".", "..", ".leading dot", "...three", "last line"));
  int seen = 0;
  for (const auto& e : std::filesystem::directory_iterator(env.mailRoot + "/" + env.user + "/Maildir/cur")) {
    const std::string name = e.path().filename();
    seen += name.find(":2,") != std::string::npos && name.find('S', name.find(":2,")) != std::string::npos;
  }
  EXPECT_EQ(seen, 1);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Pop3Dovecot, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace brivane
