#include "protocols/imap_session.h"

#include <gmock/gmock.h>

#include <map>

#include "fake_server.h"
#include "protocols/transport.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

// The text of the error `f` throws, or "none".
template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const ProtocolError& e) {
    return e.what();
  }
  return "none";
}

std::string stateError(const char* state) {
  return std::string("Unable to execute command, wrong connection state;Current connection state: ") + state + ".";
}

// One session against a scripted server in memory; silences cost no time.
struct Rig {
  explicit Rig(std::string_view script, std::string user = "john", std::string password = "secret")
      : server(script, &clock) {
    transport.setClock(&clock);
    transport.setConnector(server.connector());
    session.setTransport(&transport);
    session.setHost("imap.test");
    session.setUsername(std::move(user));
    session.setPassword(std::move(password));
    session.setAlertHandler([this](const std::string& text) { alerts.push_back(text); });
  }
  ~Rig() { EXPECT_THAT(server.errors(), IsEmpty()); }  // every client line was the expected one
  ManualClock clock;
  test::MemoryServer server;
  Transport transport;
  ImapSession session;
  std::vector<std::string> alerts;
};

const std::string kPreauth = "S: * PREAUTH ready\nC: C1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C1 OK done\n";
const std::string kSelected = kPreauth + "C: C2 SELECT \"INBOX\"\nS: * 9 EXISTS\nS: C2 OK [READ-WRITE] done\n";

TEST(ImapSession, LoginSequenceIsLoginThenTwoCapabilities) {
  Rig rig("S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] Server ready\n"
          "C: C1 LOGIN john secret\nS: C1 OK [CAPABILITY IMAP4rev1 IDLE] Logged in\n"
          "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1 IDLE\nS: C2 OK done\n"
          "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1 IDLE NAMESPACE\nS: C3 OK done\n"
          "C: C4 LOGOUT\nS: * BYE Logging out\nS: C4 OK Logout completed.\n");
  rig.session.connect(true);
  EXPECT_EQ(rig.session.state(), ImapState::Authenticated);
  EXPECT_EQ(rig.session.greeting(), "[CAPABILITY IMAP4rev1 AUTH=PLAIN] Server ready");
  EXPECT_THAT(rig.session.capabilities(), ElementsAre("IMAP4rev1", "IDLE", "NAMESPACE"));
  EXPECT_EQ(rig.transport.port(), 143);
  rig.session.disconnect();
  EXPECT_EQ(rig.session.state(), ImapState::NonAuthenticated);
  EXPECT_FALSE(rig.session.connected());
  EXPECT_THAT(rig.session.capabilities(), IsEmpty());
  EXPECT_TRUE(rig.server.done());
  EXPECT_EQ(errorOf([&] { rig.session.disconnect(); }), "Disconnected.");  // nothing left to log out
}

// Both sessions: implicit TLS moves the regular port to the TLS port and
// back; a port of the user's own, or one set while the mode stays, is kept.
TEST(SessionPorts, TlsModeMovesOnlyTheStandardPorts) {
  const auto check = [](auto& s, int plain, int tls) {
    s.setTlsMode(TlsMode::Implicit);
    EXPECT_EQ(s.port(), tls);
    s.setTlsMode(TlsMode::None);
    EXPECT_EQ(s.port(), plain);
    s.setPort(tls);
    s.setTlsMode(TlsMode::None);
    EXPECT_EQ(s.port(), tls);
    s.setPort(plain + 1000);
    s.setTlsMode(TlsMode::Implicit);
    EXPECT_EQ(s.port(), plain + 1000);
    s.setTlsMode(TlsMode::RequireExplicit);  // STARTTLS is never optional: the same mode
    EXPECT_EQ(std::pair(s.tlsMode(), s.port()), std::pair(TlsMode::Explicit, plain + 1000));
    s.setPort(tls);
    s.setTlsMode(TlsMode::Explicit);
    EXPECT_EQ(s.port(), tls);  // unchanged mode, unchanged port
    s.setTlsMode(TlsMode::Implicit);
    s.setTlsMode(TlsMode::Explicit);
    EXPECT_EQ(s.port(), plain);
  };
  ImapSession imap;
  Pop3Session pop3(nullptr);
  check(imap, 143, 993);
  check(pop3, 110, 995);
}

// Greetings, login replies and credentials (atoms, quoted strings or
// literals): the whole dialogue, then the state or the error. A refused
// login and LOGINDISABLED are proved through the checker.
TEST(ImapSession, GreetingsLoginRepliesAndCredentials) {
  const std::string in = "S: C1 OK in\nC: C2 CAPABILITY\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\n",
                    unsafe = "error: The user name or password contains a line break or NUL character. disconnected";
  const struct { std::string script, outcome, user = "john", password = "secret"; } rows[] = {
      {"S: * PREAUTH ready\nC: C1 CAPABILITY\nS: C1 OK done\n", "Authenticated"},
      {"S: * NO [UNAVAILABLE] busy\nC: C1 CAPABILITY\nS: C1 OK\n", "Non Authenticated"},
      {"S: * OK [CAPABILITY IMAP4rev1] hi\nC: C1 LOGIN john secret\nR: C1 O\n", "error: Read timed out. disconnected"},
      {"S: * BYE Too many connections\nX\n", "error: Disconnected. disconnected"},
      {"S: * OK [CAPABILITY IMAP4rev1] hi\nC: C1 LOGIN john secret\nS: C1 WHAT is this\nC: C2 LOGOUT\nS: * BYE\nS: C2 OK\n",
       "error: Unexpected: Line starts with a command reference (like C41) but next word was not a valid response like "
       "OK, BAD, etc, offending line: C1 WHAT is this disconnected"},
      {"S: * OK [CAPABILITY IMAP4rev1] hi\nC: C1 LOGIN \"first last\" \"\"\n" + in, "Authenticated", "first last", ""},
      {"S: * OK [CAPABILITY IMAP4rev1] hi\nC: C1 LOGIN john {7}\nS: + go\nC: caf\xC3\xA9 x\n" + in, "Authenticated", "john", "caf\xC3\xA9 x"},
      {"S: * OK [CAPABILITY IMAP4rev1] hi\nC: C1 LOGIN {5}\nS: + go\nC: j\xC3\xB6rg {3}\nS: + go\nC: pa\xE9\n" + in, "Authenticated", "j\xC3\xB6rg", "pa\xE9"},
      // A refusal instead of the "+": the literal is not sent.
      {"S: * OK [CAPABILITY IMAP4rev1] hi\nC: C1 LOGIN {5}\nS: C1 NO not here\nC: C2 CAPABILITY\nS: C2 OK\n", "Non Authenticated", "j\xC3\xB6rg"},
      // Line breaks or NUL would split the command.
      {"", unsafe, "john", "a\nC2 LOGOUT"}, {"", unsafe, "a\0b"s},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.script);
    Rig rig(r.script, r.user, r.password);
    std::string outcome;
    try {
      rig.session.connect(true);
      outcome = std::string(imapStateText(rig.session.state()));
    } catch (const ProtocolError& e) {
      outcome = std::string("error: ") + e.what() + (rig.session.connected() ? "" : " disconnected");
    }
    EXPECT_EQ(outcome, r.outcome);
    EXPECT_TRUE(rig.server.done());
    EXPECT_TRUE(!r.script.empty() || rig.server.connects().empty());  // refused before connecting
  }
}

// Folder names are decoded for display and sent back as LIST gave them; a
// stray alert (with a control character) before a command is drained and
// reported, and so are the alerts inside a reply and of a refusal.
TEST(ImapSession, ListSelectExamineSearchFillTheMailboxRecord) {
  Rig rig(kPreauth +
          "C: C2 LIST \"\" *\nS: * LIST (\\HasNoChildren) \"/\" \"INBOX\"\nS: * 4 EXISTS\nS: * LIST () NIL Archive\n"
          "S: * LIST (\\HasNoChildren) \".\" \"Sent Items\"\nS: * LIST () \"/\" \"Entw&APw-rfe\"\n"
          "S: * LIST () \"/\" \"a\\\\b \\\"c\\\"\"\nS: * LIST () \"/\" {4}\nR: x\"y\\\\\\r\\n\nS: * LIST () \"/\"\n"
          "S: * OK [ALERT] Quota {almost} reached\nS: * LIST () \"/\" \"AT&T-Lab\"\nS: C2 OK List completed.\n"
          "C: C3 EXAMINE \"a\\\\b \\\"c\\\"\"\nS: C3 OK [READ-ONLY]\n"
          "C: C4 SELECT \"AT&T-Lab\"\nS: C4 OK\nS: * OK [ALERT] Maintenance at 2:00\x01\nC: C5 SELECT \"INBOX\"\n"
          "S: * FLAGS (\\Answered \\Seen)\nS: * OK [PERMANENTFLAGS (\\Seen \\*)] ok\nS: * 17 EXISTS\nS: * 2 RECENT\n"
          "S: * OK [UNSEEN 12] first unseen\nS: * OK [UIDVALIDITY 3857529045] ok\nS: * OK [UIDNEXT 4392] ok\n"
          "S: C5 OK [READ-WRITE] Select completed.\n"
          "C: C6 UID SEARCH UNSEEN\nS: * SEARCH 4 9 12 17\nS: C6 OK\n"
          "C: C7 UID SEARCH NEW\nS: * SEARCH 4\nS: C7 BAD unknown criterion\n"
          "C: C8 EXAMINE \"Gone\"\nS: C8 NO [ALERT] Mailbox over quota\n"
          "C: C9 EXAMINE \"INBOX\"\nS: * 17 EXISTS\nS: * OK [UIDNEXT 4392] ok\nS: C9 OK [READ-ONLY] done\n"
          "C: C10 UID SEARCH UNSEEN\nS: * SEARCH 4380 4391\nS: C10 OK\n");
  std::vector<std::string> names{"stale"}, wire;
  EXPECT_EQ(errorOf([&] { rig.session.listFolders(names); }), stateError("Non Authenticated"));
  rig.session.connect(true);
  ASSERT_TRUE(rig.session.listFolders(names, &wire));
  EXPECT_THAT(names, ElementsAre("INBOX", "Archive", "Sent Items", "Entwürfe", "a\\b \"c\"", "x\"y\\", "AT&T-Lab"));
  EXPECT_THAT(wire, ElementsAre("INBOX", "Archive", "Sent Items", "Entw&APw-rfe", "a\\b \"c\"", "x\"y\\", "AT&T-Lab"));
  EXPECT_THAT(rig.session.lastReply().extraLines,
              ElementsAre("List completed.", "4 EXISTS", "OK [ALERT] Quota {almost} reached"));
  EXPECT_TRUE(rig.session.examine(wire[4]));
  EXPECT_TRUE(rig.session.select(wire[6]));
  EXPECT_THROW(rig.session.select("bad\xFF\r\nC9 LOGOUT"), ImapUnsafeArgumentError);
  ASSERT_TRUE(rig.session.select("INBOX"));
  const ImapMailbox& m = rig.session.mailbox();
  EXPECT_EQ(std::tie(m.name, m.totalMessages, m.recentMessages, m.firstUnseen, m.uidValidity, m.uidNext, m.readWrite),
            std::make_tuple("INBOX", 17u, 2u, 12u, "3857529045", "4392", true));
  EXPECT_THAT(m.flags, ElementsAre("\\Answered", "\\Seen"));
  EXPECT_THAT(m.permanentFlags, ElementsAre("\\Seen", "\\*"));
  ASSERT_TRUE(rig.session.uidSearch("UNSEEN"));
  EXPECT_THAT(m.searchResult, ElementsAre(4u, 9u, 12u, 17u));
  EXPECT_FALSE(rig.session.uidSearch("NEW"));  // refused: no result, not the previous one
  EXPECT_THAT(m.searchResult, IsEmpty());
  EXPECT_FALSE(rig.session.examine("Gone"));
  EXPECT_EQ(rig.session.state(), ImapState::Authenticated);
  EXPECT_EQ(m.name, "INBOX");  // a failed EXAMINE leaves the record
  EXPECT_EQ(errorOf([&] { rig.session.uidSearch("UNSEEN"); }), stateError("Authenticated"));
  EXPECT_THAT(rig.alerts, ElementsAre("Quota {almost} reached", "Maintenance at 2:00", "Mailbox over quota"));
  ASSERT_TRUE(rig.session.examine("INBOX"));
  EXPECT_EQ(std::tie(m.totalMessages, m.uidNext, m.readWrite), std::make_tuple(17u, "4392", false));
  ASSERT_TRUE(rig.session.uidSearch("UNSEEN"));
  EXPECT_THAT(m.searchResult, ElementsAre(4380u, 4391u));
}

// What has already arrived before a command (a stray line, a literal holding
// a fake tagged line) is discarded, and clean input costs no wait; a BYE
// in the middle of a command ends the session, one after LOGOUT does not.
TEST(ImapSession, DrainBeforeACommandAndByeWhileWaiting) {
  Rig rig(kSelected + "S: * 7 EXISTS\nS: * 3 FETCH (BODY[] {12}\nR: C3 OK evil\\r\\n)\\r\\n\n"
          "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK\n"
          "C: C4 UID SEARCH UNSEEN\nS: * SEARCH 1 2\nS: * BYE Server shutting down\nX\n");
  const auto start = rig.clock.now();
  rig.session.connect(true);
  ASSERT_TRUE(rig.session.select("INBOX"));
  ASSERT_TRUE(rig.session.capability());
  EXPECT_THAT(rig.session.lastReply().extraLines, IsEmpty());
  EXPECT_EQ(rig.clock.now(), start);
  EXPECT_EQ(errorOf([&] { rig.session.uidSearch("UNSEEN"); }),
            "Server has gracefully disconnected you, possibly because the connection was idle for too long.");
  EXPECT_EQ(rig.session.state(), ImapState::UnexpectedlyDisconnected);
  EXPECT_FALSE(rig.session.connected());
  EXPECT_EQ(errorOf([&] { rig.session.uidSearch("UNSEEN"); }), stateError(""));
  EXPECT_THROW(rig.session.disconnect(), ImapDisconnectedError);
  Rig closing(kPreauth + "C: C2 LOGOUT\nS: * BYE bye\nX\n");  // closed after BYE, before the tagged reply
  closing.session.connect(true);
  closing.session.disconnect();
  EXPECT_EQ(closing.session.state(), ImapState::NonAuthenticated);
  EXPECT_FALSE(closing.session.connected());
}

// Bytes as the argument of an "R:" script step.
std::string rawStep(std::string_view bytes) {
  std::string out = "R: ";
  for (const unsigned char c : bytes) {
    if (c == '\\' || c < 0x20 || c >= 0x7F)
      out += std::string("\\x") + "0123456789abcdef"[c >> 4] + "0123456789abcdef"[c & 15];
    else
      out += static_cast<char>(c);
  }
  return out + '\n';
}

// A selected session asks one thing (f: headers of UID 5, p: the same with
// texts, u: the highest UID; s: UID SEARCH; l: LIST), answered by `steps`.
// Gives "ok <result> [<value>] uid <n>" (the highest UID asked next proves
// the session in step) or "error: <text>"; the value of f and p lists each
// message handed on as "uid:header" or "uid:header|text".
const std::map<char, std::string> kCommands = {
    {'f', "C3 UID FETCH 5 (UID RFC822.HEADER)"}, {'p', "C3 UID FETCH 5 (UID RFC822.HEADER BODY.PEEK[TEXT]<0.65536>)"},
    {'u', "C3 UID FETCH * (UID)"}, {'s', "C3 UID SEARCH UNSEEN"}, {'l', "C3 LIST \"\" *"}};
const std::string kFollowUp = "C: C4 UID FETCH * (UID)\nS: * 5 FETCH (UID 77)\nS: C4 OK\n";

std::string play(char kind, const std::string& steps) {
  Rig rig(kSelected + "C: " + kCommands.at(kind) + "\n" + steps);
  ImapSession& s = rig.session;
  try {
    s.connect(true);
    if (!s.select("INBOX")) return "select failed";
    std::string value;
    std::vector<std::string> names;
    bool ok = false;
    const auto each = [&](ImapSession::FetchedMessage& m) {
      value += (value.empty() ? "" : ";") + std::to_string(m.uid) + ":" + m.header + (kind == 'p' ? "|" + m.text : "");
    };
    switch (kind) {
      case 'f': ok = s.uidFetchHeaders({5}, ImapSession::FetchParts::Header, each); break;
      case 'p': ok = s.uidFetchHeaders({5}, ImapSession::FetchParts::HeaderAndText, each); break;
      case 'u': value = std::to_string(s.highestUid()), ok = value != "0"; break;
      case 's': ok = s.uidSearch("UNSEEN"), value = std::to_string(s.mailbox().searchResult.size()); break;
      case 'l': ok = s.listFolders(names), value = std::to_string(names.size()); break;
    }
    return "ok " + std::to_string(ok) + " [" + value + "] uid " + std::to_string(s.highestUid());
  } catch (const ProtocolError& e) {
    return std::string("error: ") + e.what() + (s.connected() ? " (still connected)" : "");
  }
}

// Odd replies, each played as one write and again byte by byte: the
// documented result or error, and after a recoverable case the next command
// still finds its reply in step.
TEST(ImapSessionFaults, OddFetchRepliesInOneWriteAndByteByByte) {
  const std::string tricky = "Subject: a\0b\r\nX-Bare: c\rd\r\nC3 OK done\r\n\r\n"s, hdr = "Subject: mine\r\n\r\n", stall = "STALL\n";
  const std::string unexpected = "error: Unexpected: Non-last response line (i.e. a data line) did not start with a *, "
                                 "offending line: ";
  const std::string h5 = "* 5 FETCH (UID 5 RFC822.HEADER {17}\r\n" + hdr;
  const struct { char kind; std::string reply, expected, tail = kFollowUp; } cases[] = {
      {'f', h5 + " FLAGS (\\Seen))\r\nC3 OK\r\n", "ok 1 [5:" + hdr + "] uid 77"},
      {'f', "* 5 FETCH (UID 5 RFC822.HEADER {0}\r\n)\r\nC3 OK\r\n", "ok 1 [] uid 77"},
      {'f', "* 5 FETCH (UID 5 RFC822.HEADER NIL)\r\nC3 OK\r\n", "ok 1 [] uid 77"},
      {'f', "* 5 FETCH (RFC822.HEADER {17}\r\n" + hdr + ")\r\nC3 OK\r\n", "ok 1 [] uid 77"},  // no UID
      {'f', "* 5 FETCH (UID 5 RFC822.HEADER {" + std::to_string(tricky.size()) + "}\r\n" + tricky + " FLAGS (\\Seen))\r\nC3 OK\r\n",
       "ok 1 [5:" + tricky + "] uid 77"},
      // Refused after some lines: what came is handed on.
      {'f', h5 + ")\r\nC3 NO Some messages could not be fetched\r\n", "ok 0 [5:" + hdr + "] uid 77"},
      {'p', h5 + " BODY[TEXT]<0> {13}\r\nC3 OK fake\0\r\n)\r\nC3 OK\r\n"s, "ok 1 [5:" + hdr + "|C3 OK fake\0\r\n] uid 77"s},
      {'p', "* 5 FETCH (BODY[TEXT]<0> {3}\r\nabc UID 5 RFC822.HEADER {17}\r\n" + hdr + ")\r\nC3 OK\r\n",
       "ok 1 [5:" + hdr + "|abc] uid 77"},  // items in another order
      {'p', h5 + " BODY[TEXT] NIL)\r\nC3 OK\r\n", "ok 1 [5:" + hdr + "|] uid 77"},
      {'p', h5 + " BODY[TEXT] \"short \\\"quoted\\\" text\")\r\nC3 OK\r\n", "ok 1 [5:" + hdr + "|short \"quoted\" text] uid 77"},
      {'u', "* 3 FETCH (UID 1)\r\n* 5 FETCH (UID 2)\r\nC3 OK\r\n", "ok 1 [2] uid 77"},
      {'u', "C3 NO gone\r\n", "ok 0 [0] uid 77"},
      {'f', "* 5 FETCH (UID 5 RFC822.HEADER {1a}\r\nabc)\r\nC3 OK\r\n",
       "error: Unexpected: Literal size is not a number from 0 to 4294967295, offending line: * 5 FETCH (UID 5 RFC822.HEADER {1a}",
       stall},
      {'f', "* 5 FETCH (UID 5 RFC822.HEADER {100}\r\nSubject: x", "error: Connection Closed Gracefully.", "X\n"},
      // Unsolicited lines, a message not asked for and a second answer for
      // UID 5 around the one that counts.
      {'f', "* 3 EXISTS\r\n* 1 RECENT\r\n* FLAGS (\\Seen \\Draft)\r\n* OK [ALERT] System going down\r\n"
            "* 7 FETCH (FLAGS (\\Seen))\r\n* 7 FETCH (UID 8 RFC822.HEADER {14}\r\nSubject: 7\r\n\r\n)\r\n* 5 FETCH (FLAGS (\\Recent))\r\n" +
            h5 + " FLAGS (\\Recent))\r\n* 4 EXISTS\r\n* 5 FETCH (UID 5 RFC822.HEADER {7}\r\nlater\r\n)\r\nC3 OK\r\n",
       "ok 1 [5:" + hdr + "] uid 77"},
      {'u', "C31 OK bogus\r\nC3 OK\r\n", unexpected + "C31 OK bogus (still connected)", stall},  // the tag is a whole word
      {'f', "\x01\x02garbage \xFF\r\nC3 OK\r\n", unexpected + "garbage \xFF (still connected)", stall},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.reply));
    EXPECT_EQ(play(c.kind, rawStep(c.reply) + c.tail), c.expected);
    EXPECT_EQ(play(c.kind, "SLOW\n" + rawStep(c.reply) + "FAST\n" + c.tail), c.expected) << "byte by byte";
  }
}

// A 10 MB line without LF is refused; a 20 MB text keeps 64 KiB, a 3 MB
// header its whole lines within 1 MiB, a huge reply kMaxReplyLines lines.
TEST(ImapSessionFaults, HugeRepliesAreBounded) {
  std::string search;
  uint32_t count = 0;
  while (search.size() < 300000) search += " " + std::to_string(++count);
  std::string filler;  // the whole lines of a 3 MB header within 1 MiB
  while (filler.size() + 30 <= ImapSession::kMaxHeaderBytes) filler += "X-Filler: 012345678901234567\r\n";
  const struct { char kind; std::string steps, expected; } cases[] = {
      {'s', "FILL: 10000000 7\nSTALL\n", "error: Max line length exceeded."},
      {'p', "S: * 5 FETCH (UID 5 BODY[TEXT] {20000000}\nFILL: 20000000 x\nS:  RFC822.HEADER \"Subject: q\")\nS: C3 OK\n" + kFollowUp,
       "ok 1 [5:Subject: q|" + std::string(ImapSession::kMaxTextBytes, 'x') + "] uid 77"},
      {'f', "S: * 5 FETCH (UID 5 RFC822.HEADER {3000000}\nREPEAT: 100000 X-Filler: 012345678901234567\nS: )\nS: C3 OK\n" + kFollowUp,
       "ok 1 [5:" + filler + "] uid 77"},
      {'s', "R: * SEARCH" + search + "\\r\\n\nS: C3 OK\n" + kFollowUp, "ok 1 [" + std::to_string(count) + "] uid 77"},
      {'l', "REPEAT: 101000 * LIST () \"/\" Folder\nS: C3 OK\n" + kFollowUp,
       "ok 1 [" + std::to_string(ImapSession::kMaxReplyLines) + "] uid 77"},
  };
  for (const auto& c : cases) EXPECT_EQ(play(c.kind, c.steps), c.expected) << c.steps.substr(0, 40);
}

// The OAuth sign-in on the wire: the initial response on the command line
// only with SASL-IR, an error challenge answered as each mechanism asks and
// the token asked for once more, and no mechanism offered.
TEST(ImapSession, OAuthSignInOnTheWire) {
  const auto ir = [](OAuthMechanism m, const char* token) { return oauthInitialResponse(m, "john", "imap.test", 143, token); };
  const std::string bearer1 = ir(OAuthMechanism::OAuthBearer, "t1"), bearer2 = ir(OAuthMechanism::OAuthBearer, "t2");
  const std::string x1 = ir(OAuthMechanism::XOAuth2, "t1"), x2 = ir(OAuthMechanism::XOAuth2, "t2");
  const std::string error = "+ eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=";  // {"status":"invalid_token"}
  const std::string after = "S: C1 OK\nC: C2 CAPABILITY\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\n";
  const struct {
    const char* what;
    std::string caps, dialogue;
    bool signedIn;
    std::vector<bool> asked;  // the token source's `again` arguments
  } rows[] = {
      {"SASL-IR and OAUTHBEARER", "SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER",
       "C: C1 AUTHENTICATE OAUTHBEARER " + bearer1 + "\n" + after, true, {false}},
      {"XOAUTH2 without SASL-IR", "AUTH=XOAUTH2", "C: C1 AUTHENTICATE XOAUTH2\nS: +\nC: " + x1 + "\n" + after, true, {false}},
      {"OAUTHBEARER error challenge, then a fresh token", "SASL-IR AUTH=OAUTHBEARER",
       "C: C1 AUTHENTICATE OAUTHBEARER " + bearer1 + "\nS: " + error + "\nC: AQ==\nS: C1 NO [AUTHENTICATIONFAILED] no\n"
       "C: C2 AUTHENTICATE OAUTHBEARER " + bearer2 + "\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\nC: C4 CAPABILITY\nS: C4 OK\n",
       true, {false, true}},
      {"XOAUTH2 error challenge answered with an empty line, both tokens refused", "AUTH=XOAUTH2 SASL-IR",
       "C: C1 AUTHENTICATE XOAUTH2 " + x1 + "\nS: " + error + "\nC: \nS: C1 NO no\nC: C2 AUTHENTICATE XOAUTH2 " + x2 +
       "\nS: C2 NO no\nC: C3 CAPABILITY\nS: C3 OK\n", false, {false, true}},
      {"an endless challenge is cancelled", "SASL-IR AUTH=OAUTHBEARER",
       "C: C1 AUTHENTICATE OAUTHBEARER " + bearer1 + "\nS: " + error + "\nC: AQ==\nS: " + error + "\nC: AQ==\nS: " + error +
       "\nC: *\nS: C1 BAD cancelled\nC: C2 AUTHENTICATE OAUTHBEARER " + bearer2 + "\nS: C2 NO no\n" + "C: C3 CAPABILITY\nS: C3 OK\n",
       false, {false, true}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Rig rig("S: * OK [CAPABILITY IMAP4rev1 " + r.caps + "] ready\n" + r.dialogue);
    std::vector<bool> asked;
    std::vector<std::string> log;
    rig.session.setTokenSource([&](bool again) { return asked.push_back(again), std::string(again ? "t2" : "t1"); });
    rig.session.setSignInLog([&](const std::string& line) { log.push_back(line); });
    rig.session.connect(true);
    EXPECT_EQ(rig.session.state() == ImapState::Authenticated, r.signedIn);
    EXPECT_EQ(asked, r.asked);
    for (const std::string& line : log) EXPECT_EQ(line.find("t1"), std::string::npos) << "a token in the log";
    if (r.dialogue.find(error) != std::string::npos) {
      EXPECT_THAT(log, ::testing::Contains(" The server refused the token: {\"status\":\"invalid_token\"}"));
    }
  }
  Rig none("S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\nC: C1 LOGOUT\nS: * BYE\nS: C1 OK\n");
  none.session.setTokenSource([](bool) -> std::string { ADD_FAILURE() << "asked for a token"; return "x"; });
  EXPECT_THROW(none.session.connect(true), OAuthNotOfferedError);
}

// Known answers: RFC 7628's example and the XOAUTH2 form.
TEST(SaslOAuth, InitialResponsesAndErrorTexts) {
  EXPECT_EQ(oauthInitialResponse(OAuthMechanism::OAuthBearer, "user@example.com", "server.example.com", 143,
                                 "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
            "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNS"
            "bGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");
  EXPECT_EQ(oauthInitialResponse(OAuthMechanism::XOAuth2, "someuser@example.com", "ignored", 1,
                                 "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
  // "," and "=" of the user are escaped in OAUTHBEARER's header.
  EXPECT_EQ(oauthInitialResponse(OAuthMechanism::OAuthBearer, "a,b=c", "h", 1, "t"), base64Encode("n,a=a=2Cb=3Dc,\x01host=h\x01port=1\x01" "auth=Bearer t\x01\x01"));
  EXPECT_EQ(oauthErrorText("eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0="), "{\"status\":\"invalid_token\"}");
  EXPECT_EQ(oauthErrorText("not base64!"), "not base64!");
  EXPECT_EQ(oauthErrorText(base64Encode("a\nb")), "a\\nb");  // control characters escaped
}

}  // namespace
}  // namespace brivane
