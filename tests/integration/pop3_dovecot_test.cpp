// POP3 session against the Dovecot of the test harness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "dovecot_env.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class Pop3Dovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "the Dovecot harness is not running";
    env = *loaded;
  }
  void open(Pop3Session& s, bool tls, const std::string& user, const std::string& password) {
    s.setHost(env.host);
    s.setPort(tls ? env.pop3sPort : env.pop3Port);
    if (tls) s.setTlsMode(TlsMode::Implicit);
    s.setUsername(user);
    s.setPassword(password);
    s.setConnectTimeout(10000);
    s.connect();
  }
  // Number of messages in the user's Maildir inbox that carry the \Seen flag.
  int seenFiles(const std::string& user) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(env.mailRoot + "/" + user + "/Maildir/cur", ec)) {
      const std::string name = e.path().filename();
      const size_t info = name.find(":2,");
      n += info != std::string::npos && name.find('S', info) != std::string::npos;
    }
    return n;
  }
  test::DovecotEnv env;
};

TEST_F(Pop3Dovecot, PlainLoginListsAndDecodesEveryHeader) {
  Transport t;
  Pop3Session s(&t);
  open(s, false, env.user, env.password);
  EXPECT_THAT(s.capabilities(), Contains("TOP"));
  long count = s.messageCount();
  ASSERT_EQ(count, 7);
  std::vector<std::string> subjects;
  std::map<std::string, MailMessage> bySubject;
  MailMessage m;
  for (long i = 1; i <= count; ++i) {
    s.retrieveHeader(i, m);
    subjects.push_back(m.subject);
    bySubject[m.subject] = m;
  }
  s.disconnect();
  EXPECT_THAT(subjects, UnorderedElementsAre("Welcome to the test mailbox", "Gr\u00fc\u00dfe aus K\u00f6ln",
                                             "\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440",
                                             "This subject is folded over two lines", "",
                                             "Multipart with \u20ac", "Lines starting with dots"));
  const MailMessage& latin = bySubject["Gr\u00fc\u00dfe aus K\u00f6ln"];
  EXPECT_EQ(latin.from.at(0).name, "J\u00f6rg Sch\u00e4fer");
  EXPECT_EQ(latin.date, 1772539200);  // 07:00 EST is 12:00 UTC
  const MailMessage& utf8 = bySubject["\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440"];
  EXPECT_THAT(utf8.from, ElementsAre(MailAddress{"M\u00fcller, Hans", "hans@example.de"}));
  EXPECT_THAT(bySubject[""].from, ElementsAre(MailAddress{"No Subject Sender", "nosubject@example.com"}));
  EXPECT_EQ(bySubject["Welcome to the test mailbox"].date, 1772539200);
}

// Passwords with a blank, and with a double quote, a backslash and "é".
TEST_F(Pop3Dovecot, PasswordsWithBlankQuoteBackslashAndAccentPlainAndTls) {
  for (bool tls : {false, true}) {
    for (const auto& [user, password] : {std::pair{env.blankUser, env.blankPassword},
                                         std::pair{env.quoteUser, env.quotePassword}}) {
      Transport t;
      Pop3Session s(&t);
      open(s, tls, user, password);
      EXPECT_EQ(t.usingTls(), tls);
      EXPECT_EQ(s.messageCount(), 7) << user;
      s.disconnect();
    }
  }
}

TEST_F(Pop3Dovecot, WrongPasswordIsAReplyError) {
  Transport t;
  Pop3Session s(&t);
  EXPECT_THROW(open(s, false, env.user, "wrong"), Pop3ReplyError);
}

TEST_F(Pop3Dovecot, RetrUnstuffsBodyDots) {
  Transport t;
  Pop3Session s(&t);
  open(s, true, env.user, env.password);
  long count = s.messageCount();
  MailMessage m;
  std::map<std::string, std::vector<std::string>> bodies;
  for (long i = 1; i <= count; ++i) {
    ASSERT_TRUE(s.retrieve(i, m));
    bodies[m.subject] = m.body;
  }
  s.disconnect();
  const auto& multipart = bodies["Multipart with \u20ac"];
  ASSERT_GE(multipart.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(multipart.begin(), multipart.begin() + 2),
              ElementsAre(".This preamble line starts with a dot.", "..and this one with two."));
  EXPECT_THAT(bodies["Lines starting with dots"], ElementsAre(".", "..", ".leading dot", "...three", "last line"));
  // The main user's server keeps flags as they were: RETR marks nothing read.
  EXPECT_EQ(seenFiles(env.user), 1);
}

TEST_F(Pop3Dovecot, DefaultUserGetsSeenFlagsFromRetr) {
  Transport t;
  Pop3Session s(&t);
  open(s, false, env.popDefaultUser, env.popDefaultPassword);
  MailMessage m;
  ASSERT_TRUE(s.retrieve(2, m));
  s.disconnect();
  EXPECT_EQ(seenFiles(env.popDefaultUser), 2);
}

}  // namespace
}  // namespace brivane
