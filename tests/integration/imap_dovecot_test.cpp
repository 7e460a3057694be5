// IMAP4 sessions against the suite's Dovecot, plain and with TLS from the
// first byte, as the harness's users whose passwords hold a blank, a double
// quote, a backslash and "é". Nothing here changes a flag, so both
// parameters may read the same mailboxes at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dovecot_env.h"
#include "protocols/imap_session.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;

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
    s.setLineLimit(10000);
    s.connect(true);
  }
  test::DovecotEnv env;
};

// Each folder listed, selected by the name LIST gave and counted; unseen
// messages fetched by number (header, UID and text as the server keeps it).
TEST_P(ImapDovecot, SpecialPasswordsListCountAndFetchAWrongOneIsRefused) {
  for (const auto& [name, pass] : {std::pair{env.blankUser, env.blankPassword}, {env.quoteUser, env.quotePassword}}) {
    SCOPED_TRACE(name);
    Transport t;
    ImapSession s;
    open(s, t, name, pass);
    EXPECT_EQ(t.usingTls(), GetParam());
    EXPECT_THAT(s.capabilities(), ::testing::Contains("IMAP4rev1"));
    std::vector<std::string> names, wire;
    ASSERT_TRUE(s.listFolders(names, &wire));
    const std::map<std::string, std::pair<uint32_t, uint32_t>> counts = {  // total, unseen
        {"INBOX", {7, 6}}, {"Archive", {3, 1}}, {"Sent Items", {1, 0}}, {"Entwürfe", {1, 1}}};
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("INBOX", "Archive", "Sent Items", "Entwürfe"));
    for (size_t k = 0; k < names.size(); ++k) {
      ASSERT_TRUE(s.select(wire[k])) << wire[k];
      EXPECT_EQ(s.mailbox().totalMessages, counts.at(names[k]).first) << names[k];
      ASSERT_TRUE(s.status(wire[k]));
      EXPECT_EQ(s.mailbox().unseenMessages, counts.at(names[k]).second) << names[k];
      ASSERT_TRUE(s.search("UNSEEN"));
      EXPECT_EQ(s.mailbox().searchResult.size(), counts.at(names[k]).second) << names[k];
    }
    ASSERT_TRUE(s.select("INBOX"));
    MailMessage m;
    ASSERT_TRUE(s.fetchHeader(2, m));
    EXPECT_EQ(m.subject, "Grüße aus Köln");
    EXPECT_EQ(m.from.at(0).name, "Jörg Schäfer");
    std::string uid2, uid7, text;
    ASSERT_TRUE(s.fetchUid(2, uid2));
    ASSERT_TRUE(s.fetchUid(7, uid7));
    EXPECT_LT(parseImapNumber(uid2), parseImapNumber(uid7));
    ASSERT_TRUE(s.fetchText(7, text));
    EXPECT_EQ(text, ".\r\n..\r\n.leading dot\r\n...three\r\nlast line\r\n");
    s.disconnect();
    EXPECT_FALSE(s.connected());
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
