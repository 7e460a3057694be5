#include "protocols/pop3_session.h"

#include <gmock/gmock.h>

#include "fake_server.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

// A session wired to a memory fake server with a manual clock.
struct Pop3Fixture {
  explicit Pop3Fixture(std::string_view script) : server(script, &clock), session(&transport) {
    transport.setClock(&clock);
    transport.setConnector(server.connector());
    session.setHost("pop.example.org");
    session.setUsername("alice");
    session.setPassword("secret word");
  }
  ~Pop3Fixture() { EXPECT_THAT(server.errors(), IsEmpty()); }  // every client line was the expected one
  ManualClock clock;
  test::MemoryServer server;
  Transport transport;
  Pop3Session session;
};

struct CheckStoppedForTest {};

constexpr const char* kLogin =
    "S: +OK POP3 ready <1896.697170952@dbc.mailcom.org>\nC: CAPA\nS: +OK Capability list follows\n"
    "S: TOP\nS: ..odd\nS: USER\nS: .\nC: USER alice\nS: +OK\nC: PASS secret word\nS: +OK logged in\n";

TEST(Pop3Reply, ParsesIndicatorTextAndExtendedCode) {
  const struct { const char *bytes, *indicator, *text, *code; } rows[] = {
      {"-ERR [sys/temp] later\r\n", "-ERR", "later", "SYS/TEMP"}, {"-ERR [OTHER] text\r\n", "-ERR", "[OTHER] text", ""},
      {"+OK [IN-USE] fine\r\n", "+OK", "[IN-USE] fine", ""}, {"+OK\r\n", "+OK", "", ""},
      {"\r\n\r\n+OK late\r\n", "+OK", "late", ""}, {"* garbage\r\n", "-ERR", "garbage", ""}, {"", "-ERR", "", ""},
      {"+ go on\r\n", "+", "go on", ""},
  };
  for (const auto& r : rows) {
    const Pop3Reply reply = parsePop3Reply(r.bytes);
    EXPECT_EQ(std::make_tuple(reply.indicator, reply.text(), reply.extendedCode), std::make_tuple(r.indicator, r.text, r.code));
  }
  EXPECT_THAT(parsePop3Reply("+OK-first\r\n+OK-second\r\n+OK last\r\n+OK not part\r\n").lines,
              ElementsAre("first", "second", "last"));
  for (const auto& [text, n] : {std::pair<const char*, long>{"0 0", 0}, {"", 0}, {"  7 12345  ", 7}, {"999999999 1", 999999999}})
    EXPECT_EQ(parseStatCount(text), n) << text;
  for (const char* bad : {"7", "x 1", "-1 2", "9999999999 1"}) EXPECT_THROW(parseStatCount(bad), MalformedReplyError) << bad;
}

// Each reply is read to its end, so the replies behind come in step. A pause
// longer than the plain read time-out inside a header does not end it.
TEST(Pop3Session, LoginStatTopQuitDialogue) {
  Pop3Fixture f(std::string(kLogin) + "C: STAT\nS: +OK 2 320\nC: TOP 1 0\nS: +OK\n"
                "S: Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\nW: 3000\nS:  folded\nS: ..dots: stay\nS: From: \"Name\" <n@x>\nS: .\n"
                "C: STAT\nS: +OK 7\nC: STAT\nS: +OK 0 0\nC: TOP 9 0\nS: -ERR no such message\nC: QUIT\nS: +OK bye\nX\n");
  f.session.setReadTimeout(2000);
  f.session.connect();
  EXPECT_EQ(f.server.connects().at(0).port, 110);
  EXPECT_THAT(f.session.capabilities(), ElementsAre("TOP", ".odd", "USER"));
  EXPECT_EQ(f.session.messageCount(), 2);
  MailMessage m;
  ASSERT_TRUE(f.session.retrieveHeader(1, m));
  EXPECT_THAT(m.rawHeaders, ElementsAre("Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=", " folded", "..dots: stay", "From: \"Name\" <n@x>"));
  EXPECT_EQ(std::tie(m.subject, m.from.at(0).name), std::make_tuple("Gr\u00fc\u00dfe folded", "Name"));
  EXPECT_THROW(f.session.messageCount(), MalformedReplyError);  // "+OK 7"
  EXPECT_EQ(f.session.messageCount(), 0);
  EXPECT_FALSE(f.session.retrieveHeader(9, m));  // refused: no error, the caller skips it
  EXPECT_EQ(m.subject, "");
  f.session.disconnect();
  EXPECT_FALSE(f.session.connected());
  EXPECT_TRUE(f.server.done());
}

TEST(Pop3Session, RefusalsRaiseTheReplyTextAndCode) {
  const struct { const char *script, *text, *code; } rows[] = {  // refused passwords: through the checker
      {"S: -ERR [SYS/TEMP] go away\n", "go away", "SYS/TEMP"},
      {"S: hello\n", "", ""},  // a greeting without indicator
      {"S: +OK\nC: CAPA\nS: -ERR\nC: USER alice\nS: -ERR [IN-USE] Mailbox locked\n", "Mailbox locked", "IN-USE"},
  };
  for (const auto& r : rows) {
    Pop3Fixture f(r.script);
    try {
      f.session.connect();
      ADD_FAILURE() << "connected: " << r.script;
    } catch (const Pop3ReplyError& e) {
      EXPECT_EQ(std::make_pair(e.text(), e.extendedCode()), std::make_pair(std::string(r.text), std::string(r.code)));
    }
  }
  // A QUIT refusal is raised after the connection is closed.
  Pop3Fixture quit(std::string(kLogin) + "C: QUIT\nS: -ERR [SYS/PERM] could not update\n");
  quit.session.connect();
  EXPECT_THROW(quit.session.disconnect(), Pop3ReplyError);
  EXPECT_FALSE(quit.transport.connected());
  EXPECT_THROW(Pop3Session(nullptr).connect(), NotConnectedError);
  // Credentials that would split a command are refused before connecting.
  for (const std::string& bad : {"a\r\nDELE 1"s, "a\nb"s, "a\0b"s}) {
    Pop3Fixture user("S: +OK\n"), pass("S: +OK\n");
    user.session.setUsername(bad);
    pass.session.setPassword(bad);
    EXPECT_THROW(user.session.connect(), UnsafeCredentialsError);
    EXPECT_THROW(pass.session.connect(), UnsafeCredentialsError);
    EXPECT_TRUE(user.server.connects().empty() && pass.server.connects().empty());
  }
}

// Bounds on what a server sends: an overlong header or body line is cut, not
// an error; 2 MiB of header lines keep 1 MiB; 50 MB of body keep 64 KiB; each
// reply is still read to its end.
TEST(Pop3Session, LargeRepliesAreReadToTheEndButKeptSmall) {
  const std::string longHeader = "X-Long: " + std::string(70000, 'h');
  Pop3Fixture f(std::string(kLogin) + "C: TOP 1 0\nS: +OK\nS: Subject: s\nS: " + longHeader +
                "\nS: From: a@b\nS: .\nC: RETR 1\nS: +OK\nS: Subject: t\nS: \nR: <html>" + std::string(100000, 'b') +
                "\\r\\n\nS: tail\nS: .\nC: TOP 2 0\nS: +OK\nREPEAT: 40000 X-Filler: 0123456789012345678901234567890123456789\n"
                "S: .\nC: RETR 3\nS: +OK\nS: Subject: big\nS: \n"
                "REPEAT: 660000 ..0123456789012345678901234567890123456789012345678901234567890123456789\n"
                "S: .\nC: STAT\nS: +OK 1 9\n");
  f.session.connect();
  MailMessage m;
  f.session.retrieveHeader(1, m);
  ASSERT_EQ(m.rawHeaders.size(), 3u);
  EXPECT_EQ(m.rawHeaders[1], longHeader.substr(0, Pop3Session::kMaxLineLength));
  EXPECT_EQ(m.headerValue("From"), "a@b");
  ASSERT_TRUE(f.session.retrieve(1, m));
  EXPECT_EQ(m.body.back(), "tail");
  f.session.retrieveHeader(2, m);
  EXPECT_LE(m.rawHeaderBytes, MailMessage::kMaxHeaderBytes);
  EXPECT_GT(m.droppedHeaderLines, 0u);
  ASSERT_TRUE(f.session.retrieve(3, m));
  EXPECT_LE(m.bodyBytes, MailMessage::kMaxBodyBytes);
  EXPECT_TRUE(m.bodyTruncated);
  EXPECT_EQ(m.body.at(0).substr(0, 2), ".0");
  EXPECT_EQ(f.session.messageCount(), 1);
}

// UIDL listings: a good one gives the ids in number order; a refusal or
// any fault means "no ids"; each listing is read to its end, so the STAT
// behind it comes in step.
TEST(Pop3Session, UidlListingsAndTheirFaults) {
  using Outcome = Pop3UidListing::Outcome;
  const std::string longest(70, '~');
  const struct {
    const char* name;
    long count;
    std::string reply;
    Outcome outcome;
    std::vector<Pop3Uid> ids = {};
    size_t maxIds = 10;
  } rows[] = {
      {"listed out of order, blanks around the id", 2, "S: +OK\nS: 2  " + longest + " \nS: 1 !a\nS: .\n", Outcome::Listed,
       {{1, "!a"}, {2, longest}}},
      {"empty maildrop", 0, "S: +OK\nS: .\n", Outcome::Listed},
      {"refused", 1, "S: -ERR no UIDL here\n", Outcome::Refused},
      {"id of 71 characters", 1, "S: +OK\nS: 1 " + longest + "x\nS: .\n", Outcome::Malformed},
      {"id with a blank", 1, "S: +OK\nS: 1 a b\nS: .\n", Outcome::Malformed},
      {"id with a byte past 0x7E", 1, "S: +OK\nS: 1 caf\xC3\xA9\nS: .\n", Outcome::Malformed},
      {"no id", 1, "S: +OK\nS: 1\nS: .\n", Outcome::Malformed},
      {"number 0", 1, "S: +OK\nS: 0 a\nS: .\n", Outcome::Malformed},
      {"number past the count", 1, "S: +OK\nS: 2 a\nS: .\n", Outcome::Malformed},
      {"number with a sign", 1, "S: +OK\nS: +1 a\nS: .\n", Outcome::Malformed},
      {"number given twice", 2, "S: +OK\nS: 1 a\nS: 1 b\nS: .\n", Outcome::Malformed},
      {"id given twice", 2, "S: +OK\nS: 1 a\nS: 2 a\nS: .\n", Outcome::Malformed},
      {"a message left out", 2, "S: +OK\nS: 2 b\nS: .\n", Outcome::Malformed},
      {"more lines than kept", 3, "S: +OK\nS: 1 a\nS: 2 b\nS: 3 c\nS: .\n", Outcome::TooMany, {}, 2},
      {"100,000 lines", 5000, "S: +OK\nREPEAT: 100000 1 0123456789\nS: .\n", Outcome::TooMany, {}, 5000},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Pop3Fixture f(std::string(kLogin) + "C: UIDL\n" + r.reply + "C: STAT\nS: +OK 1 9\n");
    f.session.connect();
    const Pop3UidListing listing = f.session.uidl(r.count, r.maxIds);
    EXPECT_EQ(listing.outcome, r.outcome);
    EXPECT_EQ(listing.ids, r.ids);
    EXPECT_EQ(f.session.messageCount(), 1);
  }
}

// Records the text of each write, to see which commands went out together.
class RecordingStream : public ByteStream {
 public:
  RecordingStream(std::unique_ptr<ByteStream> inner, std::vector<std::string>& writes)
      : inner_(std::move(inner)), writes_(writes) {}
  size_t read(char* buf, size_t cap, int timeoutMs) override { return inner_->read(buf, cap, timeoutMs); }
  void write(std::string_view data) override {
    writes_.emplace_back(data);
    inner_->write(data);
  }
  bool readableWithin(int timeoutMs) override { return inner_->readableWithin(timeoutMs); }
  void close() override { inner_->close(); }
  bool isOpen() const override { return inner_->isOpen(); }

 private:
  std::unique_ptr<ByteStream> inner_;
  std::vector<std::string>& writes_;
};

std::string topReply(long n) { return "S: +OK\nS: Subject: m" + std::to_string(n) + "\nS: \nS: .\n"; }

// Headers read ahead of their replies when the server offers PIPELINING,
// one command at a time when it does not. The script of a pipelining
// server expects each batch before it answers (a client that waited for
// each reply would time out); the writes show the batches: 64 commands
// first, refilled once half of them are answered. A refused message
// (-ERR) is reported and skipped, its neighbours read on.
TEST(Pop3Session, RetrievesHeadersPipelinedWhenOffered) {
  const auto countLines = [](const std::vector<std::string>& writes) {
    std::vector<size_t> n;
    for (const auto& w : writes) n.push_back(static_cast<size_t>(std::count(w.begin(), w.end(), '\n')));
    return n;
  };
  for (const bool pipelining : {true, false}) {
    SCOPED_TRACE(pipelining ? "PIPELINING" : "one at a time");
    std::string script = "S: +OK ready\nC: CAPA\nS: +OK\nS: USER\n" + std::string(pipelining ? "S: PIPELINING\n" : "") +
                         "S: .\nC: USER alice\nS: +OK\nC: PASS secret word\nS: +OK\n";
    std::vector<long> numbers;
    for (long n = 70; n >= 1; --n) numbers.push_back(n);
    const auto reply = [](long n) { return n == 69 ? std::string("S: -ERR [IN-USE] locked\n") : topReply(n); };
    if (pipelining) {
      for (long n = 70; n >= 7; --n) script += "C: TOP " + std::to_string(n) + " 0\n";
      for (long n = 70; n >= 39; --n) script += reply(n);
      for (long n = 6; n >= 1; --n) script += "C: TOP " + std::to_string(n) + " 0\n";
      for (long n = 38; n >= 1; --n) script += reply(n);
    } else {
      for (long n : numbers) script += "C: TOP " + std::to_string(n) + " 0\n" + reply(n);
    }
    Pop3Fixture f(script + "C: STAT\nS: +OK 70 9\n");
    std::vector<std::string> writes;
    f.transport.setConnector([&f, &writes, inner = f.server.connector()](const Transport::ConnectRequest& r) {
      return std::make_unique<RecordingStream>(inner(r), writes);
    });
    f.session.connect();
    writes.clear();
    std::vector<std::string> seen;
    f.session.retrieveHeaders(numbers, 0, [&seen](long n, bool shown, MailMessage& m) {
      seen.push_back(std::to_string(n) + (shown ? " " + m.subject : " refused"));
    });
    ASSERT_EQ(seen.size(), 70u);
    EXPECT_THAT(std::vector(seen.begin(), seen.begin() + 3), ElementsAre("70 m70", "69 refused", "68 m68"));
    EXPECT_EQ(seen.back(), "1 m1");
    const std::vector<size_t> batches = pipelining ? std::vector<size_t>{64, 6} : std::vector<size_t>(70, 1);
    EXPECT_EQ(countLines(writes), batches);
    EXPECT_EQ(f.session.messageCount(), 70);  // in step after the last reply
  }
}

// Capabilities refused before the login are asked once more before the
// first TOP (here they offer PIPELINING), never again. Previews read the
// header and the body lines up to ".". A reader that fails while replies are
// outstanding leaves the connection closed: it is out of step.
TEST(Pop3Session, HeadersAfterLoginCapabilitiesPreviewsAndFailures) {
  Pop3Fixture f("S: +OK\nC: CAPA\nS: -ERR\nC: USER alice\nS: +OK\nC: PASS secret word\nS: +OK\n"
                "C: CAPA\nS: +OK\nS: PIPELINING\nS: .\nC: TOP 2 100\nC: TOP 1 100\n"
                "S: +OK\nS: Subject: two\nS: \nS: ..body\nS: more\nS: .\nS: +OK\nS: Subject: one\nS: .\n"
                "C: TOP 3 0\nC: TOP 2 0\n" + topReply(3) + topReply(2));
  f.session.connect();
  std::vector<std::string> seen;
  f.session.retrieveHeaders({2, 1}, 100, [&seen](long, bool, MailMessage& m) {
    seen.push_back(m.subject + "|" + m.bodyText());
  });
  EXPECT_THAT(seen, ElementsAre("two|.body\r\nmore", "one|"));
  EXPECT_TRUE(f.session.pipelining());
  EXPECT_THROW(f.session.retrieveHeaders({3, 2}, 0, [](long, bool, MailMessage&) { throw CheckStoppedForTest{}; }),
               CheckStoppedForTest);
  EXPECT_FALSE(f.session.connected());
}

// AUTH with an OAuth token (RFC 5034): the mechanism from CAPA's SASL line,
// the initial response on the AUTH line only within 255 octets, an error
// challenge answered as each mechanism asks, a second token after a refusal.
TEST(Pop3Session, OAuthSignInOnTheWire) {
  const std::string shortToken = "t1", longToken(300, 'L');
  const auto ir = [](OAuthMechanism m, const std::string& token) {
    return oauthInitialResponse(m, "alice", "pop.example.org", 110, token);
  };
  const std::string greeting = "S: +OK ready\nC: CAPA\nS: +OK\nS: TOP\nS: SASL PLAIN ";
  const std::string error = "S: + eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=\n";
  const struct {
    const char* what;
    std::string mechanisms, dialogue;
    bool signedIn;
    std::string token = "t1";
  } rows[] = {
      {"short: on the AUTH line", "XOAUTH2 OAUTHBEARER",
       "C: AUTH OAUTHBEARER " + ir(OAuthMechanism::OAuthBearer, "t1") + "\nS: +OK signed in\n", true},
      {"long: after the server's +", "XOAUTH2",
       "C: AUTH XOAUTH2\nS: + \nC: " + ir(OAuthMechanism::XOAuth2, longToken) + "\nS: +OK\n", true, longToken},
      {"an error challenge, then a second token", "OAUTHBEARER",
       "C: AUTH OAUTHBEARER " + ir(OAuthMechanism::OAuthBearer, "t1") + "\n" + error + "C: AQ==\nS: -ERR no\n"
       "C: AUTH OAUTHBEARER " + ir(OAuthMechanism::OAuthBearer, "t2") + "\nS: +OK\n", true},
      {"XOAUTH2 refused twice", "XOAUTH2",
       "C: AUTH XOAUTH2 " + ir(OAuthMechanism::XOAuth2, "t1") + "\n" + error + "C: \nS: -ERR [AUTH] no\n"
       "C: AUTH XOAUTH2 " + ir(OAuthMechanism::XOAuth2, "t2") + "\nS: -ERR [AUTH] still no\n", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Pop3Fixture f(greeting + r.mechanisms + "\nS: .\n" + r.dialogue);
    std::vector<std::string> log;
    f.session.setTokenSource([&](bool again) { return again ? std::string("t2") : r.token; });
    f.session.setSignInLog([&](const std::string& line) { log.push_back(line); });
    if (r.signedIn) {
      EXPECT_NO_THROW(f.session.connect());
    } else {
      EXPECT_THROW(f.session.connect(), Pop3ReplyError);
    }
    for (const std::string& line : log) EXPECT_EQ(line.find(r.token), std::string::npos) << "a token in the log";
  }
  Pop3Fixture none("S: +OK ready\nC: CAPA\nS: +OK\nS: SASL PLAIN LOGIN\nS: .\n");
  none.session.setTokenSource([](bool) -> std::string { ADD_FAILURE() << "asked for a token"; return "x"; });
  EXPECT_THROW(none.session.connect(), OAuthNotOfferedError);
}

}  // namespace
}  // namespace brivane
