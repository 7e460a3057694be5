// IMAP4 session against the Dovecot of the test harness, plain and with TLS
// from the first byte.
//
// Besides the harness's users (for the logins with a blank, a double quote,
// a backslash and "é" in the password), every test gets a private user of
// its own, added to the harness's passwd file and given a Maildir built from
// tests/data/imap: its folder names hold blanks, non-ASCII letters, "&", a
// backslash and a double quote, and nobody else opens its folders, so the
// recent state and the unseen flags belong to the test alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dovecot_env.h"
#include "protocols/imap_session.h"
#include "protocols/imap_utf7.h"
#include "protocols/mail_message.h"
#include "protocols/message_preview.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

const fs::path kData = BRIVANE_IMAP_FIXTURES;

struct FolderSpec {
  std::string name;
  std::vector<std::pair<std::string, bool>> messages;  // file, seen; in message order
  uint32_t total() const { return static_cast<uint32_t>(messages.size()); }
  uint32_t unseen() const {
    uint32_t n = 0;
    for (const auto& m : messages) n += m.second ? 0 : 1;
    return n;
  }
};

const std::vector<FolderSpec>& folders() {
  static const std::vector<FolderSpec> list = {
      {"INBOX", {{"seen.eml", true}, {"plain.eml", false}, {"encoded.eml", false}}},
      {"Sent Items", {{"folder.eml", true}}},
      {"Entwürfe", {{"folder.eml", false}}},
      {"Back\\slash", {{"folder.eml", false}}},
      {"Say \"cheese\"", {{"seen.eml", true}, {"folder.eml", false}}},
      {"Tom & Jerry", {{"seen.eml", true}}},
      {"日本語 Ordner", {{"folder.eml", false}}},
      {"Recent", {{"plain.eml", false}}},
  };
  return list;
}

// The text of a message file as IMAP sends it: after the blank line, LF
// written as CR LF.
std::string wireBody(const std::string& file) {
  std::ifstream in(kData / file, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  std::string out;
  for (char c : all.str().substr(all.str().find("\n\n") + 2)) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class ImapDovecot : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "the Dovecot harness is not running";
    env = *loaded;
    ASSERT_FALSE(env.mailRoot.empty());
  }

  bool tls() const { return GetParam(); }

  void configure(ImapSession& s, Transport& t, const std::string& user, const std::string& password) {
    s.setTransport(&t);
    s.setHost(env.host);
    if (tls()) s.setTlsMode(TlsMode::Implicit);
    s.setPort(tls() ? env.imapsPort : env.imapPort);
    s.setUsername(user);
    s.setPassword(password);
    s.setConnectTimeout(10000);
    s.setLineLimit(10000);
  }

  // A user of this test alone, with the Maildir of folders().
  void addPrivateUser() {
    static std::atomic<int> counter{0};
    user = "imap" + std::to_string(::getpid()) + "n" + std::to_string(counter++) + (tls() ? "s" : "p");
    password = "pa ss\"\\é";
    const fs::path root = env.mailRoot;
    struct stat owner {};
    ASSERT_EQ(::stat(root.c_str(), &owner), 0);
    const fs::path maildir = root / user / "Maildir";
    int stamp = 1772600000;
    for (const FolderSpec& f : folders()) {
      const fs::path dir = f.name == "INBOX" ? maildir : maildir / ("." + encodeModifiedUtf7(f.name));
      for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir / sub);
      int n = 0;
      for (const auto& [file, seen] : f.messages) {
        ++stamp;
        const std::string base =
            std::to_string(stamp) + ".M" + std::to_string(++n) + "P" + std::to_string(::getpid()) + ".imaptest";
        fs::copy_file(kData / file, dir / (seen ? "cur" : "new") / (seen ? base + ":2,S" : base));
      }
    }
    for (const auto& entry : fs::recursive_directory_iterator(root / user))
      ASSERT_EQ(::lchown(entry.path().c_str(), owner.st_uid, owner.st_gid), 0);
    ASSERT_EQ(::lchown((root / user).c_str(), owner.st_uid, owner.st_gid), 0);
    // The harness keeps its passwd file beside the mail root. Dovecot looks
    // at it again when it has changed, but at most once a second: the new
    // user can log in once the clock has passed the second of the change.
    const fs::path passwd = root.parent_path() / "passwd";
    const int fd = ::open(passwd.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0) << passwd;
    const std::string line = user + ":{PLAIN}" + password + "::::::\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    ASSERT_TRUE(written) << passwd;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::this_thread::sleep_for(std::chrono::nanoseconds(1'000'000'000L - now.tv_nsec) +
                                std::chrono::milliseconds(100));
  }

  test::DovecotEnv env;
  std::string user, password;
};

TEST_P(ImapDovecot, HarnessUsersLogInWithBlankQuoteBackslashAndAccent) {
  for (const auto& [name, pass] : {std::pair{env.blankUser, env.blankPassword},
                                   std::pair{env.quoteUser, env.quotePassword}}) {
    Transport t;
    ImapSession s;
    configure(s, t, name, pass);
    s.connect(true);
    EXPECT_EQ(s.state(), ImapState::Authenticated) << name;
    EXPECT_THAT(s.capabilities(), Contains("IMAP4rev1"));
    std::vector<std::string> names;
    ASSERT_TRUE(s.listFolders(names));
    EXPECT_THAT(names, Contains("Sent Items"));
    EXPECT_THAT(names, Contains("Entwürfe"));
    s.disconnect();
    EXPECT_FALSE(s.connected());
  }
  // (A refused login is tested against the fake server: a wrong password
  // here would slow down every later login from this address.)
}

TEST_P(ImapDovecot, EveryFolderIsListedSelectedAndCounted) {
  ASSERT_NO_FATAL_FAILURE(addPrivateUser());
  Transport t;
  ImapSession s;
  configure(s, t, user, password);
  s.connect(true);
  ASSERT_EQ(s.state(), ImapState::Authenticated);
  std::vector<std::string> names, wireNames;
  ASSERT_TRUE(s.listFolders(names, &wireNames));
  std::vector<std::string> expected;
  for (const FolderSpec& f : folders()) expected.push_back(f.name);
  ASSERT_THAT(names, UnorderedElementsAreArray(expected));
  for (size_t k = 0; k < names.size(); ++k) {
    const std::string& name = wireNames[k];  // SELECT and STATUS take the name as LIST sent it
    const FolderSpec& wanted = *std::find_if(folders().begin(), folders().end(),
                                           [&](const FolderSpec& f) { return f.name == names[k]; });
    ASSERT_TRUE(s.select(name)) << name;
    EXPECT_EQ(s.state(), ImapState::Selected);
    EXPECT_EQ(s.mailbox().totalMessages, wanted.total()) << name;
    EXPECT_TRUE(s.mailbox().readWrite) << name;
    EXPECT_FALSE(s.mailbox().uidValidity.empty()) << name;
    ASSERT_TRUE(s.status(name)) << name;
    EXPECT_EQ(s.mailbox().totalMessages, wanted.total()) << name;
    EXPECT_EQ(s.mailbox().unseenMessages, wanted.unseen()) << name;
    ASSERT_TRUE(s.search("UNSEEN")) << name;
    EXPECT_EQ(s.mailbox().searchResult.size(), wanted.unseen()) << name;
  }
  // A folder that does not exist: SELECT fails, the session falls back.
  EXPECT_FALSE(s.select("No such folder"));
  EXPECT_EQ(s.state(), ImapState::Authenticated);
  EXPECT_THROW(s.search("UNSEEN"), ImapStateError);
  s.disconnect();
}

TEST_P(ImapDovecot, FetchesReadHeadersUidsAndTextsAndLeaveThemUnseen) {
  ASSERT_NO_FATAL_FAILURE(addPrivateUser());
  std::vector<std::string> uids;
  {
    Transport t;
    ImapSession s;
    configure(s, t, user, password);
    s.connect(true);
    ASSERT_TRUE(s.select("INBOX"));
    ASSERT_TRUE(s.status("INBOX"));
    EXPECT_EQ(s.mailbox().unseenMessages, 2u);
    ASSERT_TRUE(s.search("UNSEEN"));
    ASSERT_THAT(s.mailbox().searchResult, ElementsAre(2u, 3u));
    MailMessage m;
    std::vector<std::string> subjects, senders, texts;
    for (uint32_t n : s.mailbox().searchResult) {
      ASSERT_TRUE(s.fetchHeader(n, m));
      subjects.push_back(m.subject);
      senders.push_back(m.from[0].name);
      ASSERT_TRUE(s.fetchUid(n, uids.emplace_back()));
      ASSERT_TRUE(s.fetchText(n, texts.emplace_back()));
    }
    EXPECT_THAT(subjects, ElementsAre("Plain hello", "Grüße aus Köln"));
    EXPECT_THAT(senders, ElementsAre("Ann Example", "Jörg Müller"));
    EXPECT_THAT(texts, ElementsAre(wireBody("plain.eml"), wireBody("encoded.eml")));
    ASSERT_EQ(uids.size(), 2u);
    EXPECT_NE(uids[0], uids[1]);
    for (const std::string& uid : uids) EXPECT_TRUE(parseImapNumber(uid).has_value()) << uid;
    s.disconnect();
  }
  // A second session finds the same messages still unseen, with the same UIDs.
  Transport t;
  ImapSession s;
  configure(s, t, user, password);
  s.connect(true);
  ASSERT_TRUE(s.status("INBOX"));
  EXPECT_EQ(s.mailbox().unseenMessages, 2u);
  ASSERT_TRUE(s.select("INBOX"));
  ASSERT_TRUE(s.search("UNSEEN"));
  EXPECT_THAT(s.mailbox().searchResult, ElementsAre(2u, 3u));
  std::string uid;
  ASSERT_TRUE(s.fetchUid(3, uid));
  EXPECT_EQ(uid, uids[1]);
  s.disconnect();
}

TEST_P(ImapDovecot, NewMailIsNewForTheFirstReadWriteSessionOnly) {
  ASSERT_NO_FATAL_FAILURE(addPrivateUser());
  for (int round = 0; round < 2; ++round) {
    Transport t;
    ImapSession s;
    configure(s, t, user, password);
    s.connect(true);
    ASSERT_TRUE(s.select("Recent"));
    ASSERT_TRUE(s.search("NEW"));
    EXPECT_EQ(s.mailbox().searchResult, round == 0 ? std::vector<uint32_t>{1u} : std::vector<uint32_t>{}) << round;
    ASSERT_TRUE(s.search("UNSEEN"));
    EXPECT_THAT(s.mailbox().searchResult, ElementsAre(1u));
    s.disconnect();
  }
}

// A message with a 20 MB attachment behind its text: the preview comes from
// the first 64 KiB, and far less than the message crosses the wire.
TEST_P(ImapDovecot, PreviewOfAHugeMessageReadsOnlyItsStart) {
  ASSERT_NO_FATAL_FAILURE(addPrivateUser());
  std::string mail =
      "From: Big <big@example.org>\r\nSubject: Huge\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"hb\"\r\n\r\n--hb\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
      "Die Datei h=C3=A4ngt an.\r\n--hb\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=big.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  const std::string line = std::string(76, 'A') + "\r\n";
  while (mail.size() < (20u << 20)) mail += line;
  mail += "--hb--\r\n";
  const fs::path file = fs::path(env.mailRoot) / user / "Maildir" / ".Recent" / "new" / "1772700000.M1P1.huge";
  std::ofstream(file, std::ios::binary) << mail;
  struct stat owner {};
  ASSERT_EQ(::stat(env.mailRoot.c_str(), &owner), 0);
  ASSERT_EQ(::lchown(file.c_str(), owner.st_uid, owner.st_gid), 0);

  Transport t;
  ImapSession s;
  configure(s, t, user, password);
  s.connect(true);
  ASSERT_TRUE(s.select("Recent"));
  ASSERT_TRUE(s.search("UNSEEN"));
  ASSERT_EQ(s.mailbox().searchResult.size(), 2u);
  std::string header, text;
  const uint64_t before = t.bytesRead();
  ASSERT_TRUE(s.fetchHeaderBytes(2, header));
  ASSERT_TRUE(s.fetchText(2, text));
  EXPECT_LT(t.bytesRead() - before, 200u << 10);
  EXPECT_EQ(text.size(), ImapSession::kMaxTextBytes);
  EXPECT_EQ(messagePreviewText(header, text, 80), "Die Datei hängt an.");
  s.disconnect();
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ImapDovecot, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace brivane
