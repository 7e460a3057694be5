// IMAP4 sessions against the suite's Dovecot, plain and with TLS from the
// first byte. The harness's users have a blank, a double quote, a backslash
// and "é" in their passwords. Besides, a test may get a private user with a
// Maildir built from tests/data/imap (folder names with blanks, non-ASCII
// letters, "&", a backslash and a double quote): nobody else opens its
// folders, so their recent and unseen state belong to the test alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dovecot_env.h"
#include "protocols/imap_session.h"
#include "protocols/imap_utf7.h"
#include "protocols/message_preview.h"
#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

const fs::path kData = BRIVANE_IMAP_FIXTURES;

struct FolderSpec {
  std::string name;
  std::vector<std::pair<std::string, bool>> messages;  // file, seen; in message order
};
const std::vector<FolderSpec> kFolders = {
    {"INBOX", {{"seen.eml", true}, {"plain.eml", false}, {"encoded.eml", false}}},
    {"Sent Items", {{"folder.eml", true}}},
    {"Entwürfe", {{"folder.eml", false}}},
    {"Back\\slash", {{"folder.eml", false}}},
    {"Say \"cheese\"", {{"seen.eml", true}, {"folder.eml", false}}},
    {"Tom & Jerry", {{"seen.eml", true}}},
    {"日本語 Ordner", {{"folder.eml", false}}},
    {"Recent", {{"plain.eml", false}}},
};

// The text of a message file as IMAP sends it: after the blank line, LF as CR LF.
std::string wireBody(const std::string& file) {
  const std::string all = test::readAll(kData / file);
  std::string out;
  for (char c : all.substr(all.find("\n\n") + 2)) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

class ImapDovecot : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "the Dovecot harness is not running";
    env = *loaded;
    ASSERT_EQ(::stat(env.mailRoot.c_str(), &owner), 0);
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

  void giveToServer(const fs::path& p) { ASSERT_EQ(::lchown(p.c_str(), owner.st_uid, owner.st_gid), 0) << p; }

  // A user of this test alone, with the Maildir of kFolders.
  void addPrivateUser() {
    static std::atomic<int> counter{0};
    user = "imap" + std::to_string(::getpid()) + "n" + std::to_string(counter++) + (GetParam() ? "s" : "p");
    password = "pa ss\"\\é";
    const fs::path maildir = fs::path(env.mailRoot) / user / "Maildir";
    int stamp = 1772600000;
    for (const FolderSpec& f : kFolders) {
      const fs::path dir = f.name == "INBOX" ? maildir : maildir / ("." + encodeModifiedUtf7(f.name));
      for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir / sub);
      for (const auto& [file, seen] : f.messages) {
        const std::string base = std::to_string(++stamp) + ".M1P" + std::to_string(::getpid()) + ".imaptest";
        fs::copy_file(kData / file, dir / (seen ? "cur" : "new") / (seen ? base + ":2,S" : base));
      }
    }
    for (const auto& entry : fs::recursive_directory_iterator(maildir.parent_path())) giveToServer(entry.path());
    giveToServer(maildir.parent_path());
    // Dovecot reads its passwd file (beside the mail root) again when it has
    // changed, at most once a second: the user can log in once the clock has
    // passed the second of the change.
    std::ofstream(fs::path(env.mailRoot).parent_path() / "passwd", std::ios::app)
        << user << ":{PLAIN}" << password << "::::::\n";
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::seconds(1) - (now - std::chrono::floor<std::chrono::seconds>(now)) +
                                std::chrono::milliseconds(100));
  }

  test::DovecotEnv env;
  struct stat owner {};
  std::string user, password;
};

TEST_P(ImapDovecot, SpecialPasswordsLogInAndListTheFoldersAWrongOneIsRefused) {
  for (const auto& [name, pass] : {std::pair{env.blankUser, env.blankPassword},
                                   std::pair{env.quoteUser, env.quotePassword}}) {
    SCOPED_TRACE(name);
    Transport t;
    ImapSession s;
    open(s, t, name, pass);
    EXPECT_EQ(t.usingTls(), GetParam());
    EXPECT_THAT(s.capabilities(), ::testing::Contains("IMAP4rev1"));
    std::vector<std::string> names;
    ASSERT_TRUE(s.listFolders(names));
    EXPECT_THAT(names, IsSupersetOf({"INBOX", "Archive", "Sent Items", "Entwürfe"}));
    s.disconnect();
    EXPECT_FALSE(s.connected());
  }
  Transport t;
  ImapSession s;
  open(s, t, env.user, "wrong");
  EXPECT_EQ(s.state(), ImapState::NonAuthenticated);
}

// Every folder of the private user listed, selected and counted; the unseen
// messages fetched without marking them read; \Recent for the first
// read-write session only; and a 20 MB message previewed from its start.
TEST_P(ImapDovecot, PrivateFoldersCountsFetchesAndRecentState) {
  ASSERT_NO_FATAL_FAILURE(addPrivateUser());
  std::vector<std::string> uids;
  {
    Transport t;
    ImapSession s;
    open(s, t, user, password);
    ASSERT_EQ(s.state(), ImapState::Authenticated);
    // The first read-write SELECT gets the \Recent flags.
    ASSERT_TRUE(s.select("Recent"));
    ASSERT_TRUE(s.search("NEW"));
    EXPECT_THAT(s.mailbox().searchResult, ElementsAre(1u));
    std::vector<std::string> names, wireNames, expected;
    ASSERT_TRUE(s.listFolders(names, &wireNames));
    for (const FolderSpec& f : kFolders) expected.push_back(f.name);
    ASSERT_THAT(names, ::testing::UnorderedElementsAreArray(expected));
    for (size_t k = 0; k < names.size(); ++k) {
      const std::string& name = wireNames[k];  // SELECT and STATUS take the name as LIST sent it
      SCOPED_TRACE(name);
      const auto& messages = std::ranges::find(kFolders, names[k], &FolderSpec::name)->messages;
      const auto unseen = static_cast<uint32_t>(std::ranges::count(messages, false, &std::pair<std::string, bool>::second));
      ASSERT_TRUE(s.select(name));
      EXPECT_EQ(s.state(), ImapState::Selected);
      EXPECT_EQ(s.mailbox().totalMessages, messages.size());
      EXPECT_TRUE(s.mailbox().readWrite);
      EXPECT_FALSE(s.mailbox().uidValidity.empty());
      ASSERT_TRUE(s.status(name));
      EXPECT_EQ(s.mailbox().totalMessages, messages.size());
      EXPECT_EQ(s.mailbox().unseenMessages, unseen);
      ASSERT_TRUE(s.search("UNSEEN"));
      EXPECT_EQ(s.mailbox().searchResult.size(), unseen);
    }
    ASSERT_TRUE(s.select("INBOX"));
    ASSERT_TRUE(s.search("UNSEEN"));
    ASSERT_THAT(s.mailbox().searchResult, ElementsAre(2u, 3u));
    MailMessage m;
    std::vector<std::string> subjects, senders, texts;
    for (uint32_t n : {2u, 3u}) {
      ASSERT_TRUE(s.fetchHeader(n, m));
      subjects.push_back(m.subject);
      senders.push_back(m.from.at(0).name);
      ASSERT_TRUE(s.fetchUid(n, uids.emplace_back()));
      ASSERT_TRUE(s.fetchText(n, texts.emplace_back()));
      EXPECT_TRUE(parseImapNumber(uids.back()).has_value()) << uids.back();
    }
    EXPECT_THAT(subjects, ElementsAre("Plain hello", "Grüße aus Köln"));
    EXPECT_THAT(senders, ElementsAre("Ann Example", "Jörg Müller"));
    EXPECT_THAT(texts, ElementsAre(wireBody("plain.eml"), wireBody("encoded.eml")));
    EXPECT_NE(uids[0], uids[1]);
    s.disconnect();
  }
  // A message with a 20 MB attachment behind its text arrives in "Recent".
  std::string mail =
      "From: Big <big@example.org>\r\nSubject: Huge\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"hb\"\r\n\r\n--hb\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
      "Die Datei h=C3=A4ngt an.\r\n--hb\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=big.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  while (mail.size() < (20u << 20)) mail += std::string(76, 'A') + "\r\n";
  const fs::path huge = fs::path(env.mailRoot) / user / "Maildir" / ".Recent" / "new" / "1772700000.M1P1.huge";
  std::ofstream(huge, std::ios::binary) << mail << "--hb--\r\n";
  giveToServer(huge);

  // A second session: the INBOX as it was (nothing was marked read, the
  // same UIDs); in "Recent" only the huge message is new, and its preview
  // comes from the first 64 KiB: far less than the message crosses the wire.
  Transport t;
  ImapSession s;
  open(s, t, user, password);
  ASSERT_TRUE(s.select("INBOX"));
  ASSERT_TRUE(s.search("UNSEEN"));
  EXPECT_THAT(s.mailbox().searchResult, ElementsAre(2u, 3u));
  std::string uid, header, text;
  ASSERT_TRUE(s.fetchUid(3, uid));
  EXPECT_EQ(uid, uids.at(1));
  ASSERT_TRUE(s.select("Recent"));
  ASSERT_TRUE(s.search("NEW"));
  EXPECT_THAT(s.mailbox().searchResult, ElementsAre(2u));
  ASSERT_TRUE(s.search("UNSEEN"));
  EXPECT_THAT(s.mailbox().searchResult, ElementsAre(1u, 2u));
  const uint64_t before = t.bytesRead();
  ASSERT_TRUE(s.fetchHeaderBytes(2, header));
  ASSERT_TRUE(s.fetchText(2, text));
  EXPECT_LT(t.bytesRead() - before, 200u << 10);
  EXPECT_EQ(text.size(), ImapSession::kMaxTextBytes);
  EXPECT_EQ(messagePreviewText(header, text, 80), "Die Datei hängt an.");
  s.disconnect();
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ImapDovecot, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace brivane
