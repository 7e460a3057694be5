#include "protocols/imap_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "protocols/socket_stream.h"
#include "protocols/transport.h"

namespace brivane {
namespace {

using test::MemoryServer;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Steps in a script of one step a line: the transcript has one entry for each.
size_t steps(std::string_view script) { return static_cast<size_t>(std::ranges::count(script, '\n')); }

// `f` must throw E with exactly `text`.
template <class E, class F>
void expectError(F&& f, const char* text) {
  try {
    f();
    ADD_FAILURE() << "no error, expected: " << text;
  } catch (const E& e) {
    EXPECT_STREQ(e.what(), text);
  }
}

const char* const kStateErrorPrefix = "Unable to execute command, wrong connection state;Current connection state: ";
std::string stateError(const char* state) { return std::string(kStateErrorPrefix) + state + "."; }

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
  }
  ManualClock clock;
  MemoryServer server;
  Transport transport;
  ImapSession session;
};

const std::string kPreauth = "S: * PREAUTH ready\nC: C1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C1 OK done\n";
const std::string kSelected = kPreauth + "C: C2 SELECT \"INBOX\"\nS: * 9 EXISTS\nS: C2 OK [READ-WRITE] done\n";

void connectSelected(ImapSession& session) {
  session.connect(true);
  ASSERT_TRUE(session.select("INBOX"));
}

TEST(ImapSession, LoginSequenceIsLoginThenTwoCapabilities) {
  const std::string script =
      "S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] Server ready\n"
      "C: C1 LOGIN john secret\nS: C1 OK [CAPABILITY IMAP4rev1 IDLE] Logged in\n"
      "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1 IDLE\nS: C2 OK done\n"
      "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1 IDLE NAMESPACE\nS: C3 OK done\n"
      "C: C4 LOGOUT\nS: * BYE Logging out\nS: C4 OK Logout completed.\n";
  Rig rig(script);
  rig.session.connect(true);
  EXPECT_EQ(rig.session.state(), ImapState::Authenticated);
  EXPECT_EQ(rig.session.greeting(), "[CAPABILITY IMAP4rev1 AUTH=PLAIN] Server ready");
  EXPECT_THAT(rig.session.capabilities(), ElementsAre("IMAP4rev1", "IDLE", "NAMESPACE"));
  EXPECT_EQ(rig.transport.port(), 143);
  rig.session.disconnect();
  EXPECT_EQ(rig.session.state(), ImapState::NonAuthenticated);
  EXPECT_FALSE(rig.session.connected());
  EXPECT_THAT(rig.session.capabilities(), IsEmpty());
  EXPECT_EQ(rig.server.transcript().size(), steps(script));
  EXPECT_THAT(rig.server.errors(), IsEmpty());
  // Disconnecting again: nothing to send.
  expectError<ImapDisconnectedError>([&] { rig.session.disconnect(); }, "Disconnected.");
}

// Greetings and login replies: the whole dialogue, then the state or the error.
TEST(ImapSession, GreetingsAndLoginReplies) {
  const struct {
    const char *name, *script, *outcome;
  } rows[] = {
      {"refused login still asks capabilities",
       "S: * OK ready\nC: C1 LOGIN john secret\nS: C1 NO [AUTHENTICATIONFAILED] Authentication failed.\n"
       "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\n",
       "Non Authenticated"},
      {"preauth", "S: * PREAUTH ready\nC: C1 CAPABILITY\nS: C1 OK done\n", "Authenticated"},
      {"NO greeting", "S: * NO [UNAVAILABLE] busy\nC: C1 CAPABILITY\nS: C1 OK\n", "Non Authenticated"},
      {"LOGINDISABLED sends no login",
       "S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\nC: C1 LOGOUT\nS: * BYE bye\nS: C1 OK done\n",
       "error: The server refuses plain-text login (LOGINDISABLED). disconnected"},
      {"LOGIN reply too slow", "S: * OK hi\nC: C1 LOGIN john secret\nR: C1 O\n", "error: Read timed out. disconnected"},
      {"BYE greeting", "S: * BYE Too many connections\nX\n", "error: Disconnected. disconnected"},
      {"malformed LOGIN reply logs out", "S: * OK hi\nC: C1 LOGIN john secret\nS: C1 WHAT is this\nC: C2 LOGOUT\nS: * BYE\nS: C2 OK\n",
       "error: Unexpected: Line starts with a command reference (like C41) but next word was not a valid response like "
       "OK, BAD, etc, offending line: C1 WHAT is this disconnected"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Rig rig(r.script);
    std::string outcome;
    try {
      rig.session.connect(true);
      outcome = std::string(imapStateText(rig.session.state()));
    } catch (const ProtocolError& e) {
      outcome = std::string("error: ") + e.what() + (rig.session.connected() ? "" : " disconnected");
    }
    EXPECT_EQ(outcome, r.outcome);
    EXPECT_EQ(rig.server.transcript().size(), steps(r.script));  // the client lines are checked as sent
    EXPECT_THAT(rig.server.errors(), IsEmpty());
  }
  Rig pre(kPreauth);
  pre.session.connect(true);
  EXPECT_EQ(pre.session.greeting(), "ready");
  EXPECT_EQ(pre.session.commandCounter(), 1u);
  Rig greetingOnly("S: * OK hello there\n");  // without log in only the greeting is read
  greetingOnly.session.connect(false);
  EXPECT_EQ(greetingOnly.session.greeting(), "hello there");
  EXPECT_EQ(greetingOnly.session.lastReply().status, "OK");
  EXPECT_EQ(greetingOnly.session.commandCounter(), 0u);
}

TEST(ImapSession, CredentialsAreAtomsQuotedStringsOrLiterals) {
  const struct {
    const char *name, *user, *password, *dialogue;  // up to the LOGIN reply
  } rows[] = {
      {"blank user, empty password", "first last", "", "C: C1 LOGIN \"first last\" \"\"\n"},
      {"8-bit password as literal", "john", "caf\xC3\xA9 x", "C: C1 LOGIN john {7}\nS: + go\nC: caf\xC3\xA9 x\n"},
      {"both as literals", "j\xC3\xB6rg", "pa\xE9", "C: C1 LOGIN {5}\nS: + go\nC: j\xC3\xB6rg {3}\nS: + go\nC: pa\xE9\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Rig rig(std::string("S: * OK hi\n") + r.dialogue + "S: C1 OK in\nC: C2 CAPABILITY\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\n",
            r.user, r.password);
    rig.session.connect(true);
    EXPECT_EQ(rig.session.state(), ImapState::Authenticated);
    EXPECT_THAT(rig.server.errors(), IsEmpty());
    EXPECT_TRUE(rig.server.done());
  }
  // A refusal instead of the "+": the literal is not sent.
  Rig refused("S: * OK hi\nC: C1 LOGIN {5}\nS: C1 NO not here\nC: C2 CAPABILITY\nS: C2 OK\n", "j\xC3\xB6rg", "x");
  refused.session.connect(true);
  EXPECT_EQ(refused.session.state(), ImapState::NonAuthenticated);
  EXPECT_THAT(refused.server.errors(), IsEmpty());
  // Line breaks or NUL would split the command: refused before connecting.
  for (const std::string& pw : {std::string("a\nC2 LOGOUT"), std::string("a\0b", 3)}) {
    Rig rig("S: * OK hi\n", "john", pw);
    EXPECT_THROW(rig.session.connect(true), UnsafeCredentialsError);
    EXPECT_THAT(rig.server.connects(), IsEmpty());
  }
}

TEST(ImapSession, AlertsReachTheHandler) {
  std::vector<std::string> alerts;
  Rig rig(kPreauth + "S: * OK [ALERT] Maintenance at 2:00\x01\n"
                     "C: C2 SELECT \"INBOX\"\nS: * 1 EXISTS\nS: C2 NO [ALERT] Mailbox over quota\n");
  rig.session.setAlertHandler([&](const std::string& text) { alerts.push_back(text); });
  rig.session.connect(true);
  EXPECT_FALSE(rig.session.select("INBOX"));
  EXPECT_THAT(alerts, ElementsAre("Maintenance at 2:00", "Mailbox over quota"));
}

TEST(ImapSession, TlsModeMovesTheStandardPort) {
  ImapSession s;
  s.setTlsMode(TlsMode::Implicit);
  EXPECT_EQ(s.port(), 993);
  s.setTlsMode(TlsMode::None);
  EXPECT_EQ(s.port(), 143);
  s.setPort(1993);
  s.setTlsMode(TlsMode::Implicit);
  EXPECT_EQ(s.port(), 1993);
  s.setTlsMode(TlsMode::None);
  s.setPort(993);
  EXPECT_EQ(s.port(), 993);  // plain to 993 stays as given
  EXPECT_THROW(s.setTlsMode(TlsMode::Explicit), TlsModeError);
}

// Names are decoded for display and sent back as LIST gave them.
TEST(ImapSession, ListFoldersAndUseTheirWireNames) {
  const std::string script =
      kPreauth +
      "C: C2 LIST \"\" *\nS: * LIST (\\HasNoChildren) \"/\" \"INBOX\"\nS: * 4 EXISTS\nS: * LIST () NIL Archive\n"
      "S: * LIST (\\HasNoChildren) \".\" \"Sent Items\"\nS: * LIST () \"/\" \"Entw&APw-rfe\"\n"
      "S: * LIST () \"/\" \"a\\\\b \\\"c\\\"\"\nS: * LIST () \"/\" {4}\nR: x\"y\\\\\\r\\n\nS: * LIST () \"/\"\n"
      "S: * OK [ALERT] Quota {almost} reached\nS: * LIST () \"/\" \"AT&T-Lab\"\nS: C2 OK List completed.\n"
      "C: C3 STATUS \"a\\\\b \\\"c\\\"\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)\nS: C3 OK\n"
      "C: C4 SELECT \"AT&T-Lab\"\nS: C4 OK\n";
  Rig rig(script);
  rig.session.connect(true);
  std::vector<std::string> names{"stale"}, wire;
  ASSERT_TRUE(rig.session.listFolders(names, &wire));
  EXPECT_THAT(names, ElementsAre("INBOX", "Archive", "Sent Items", "Entwürfe", "a\\b \"c\"", "x\"y\\", "AT&T-Lab"));
  EXPECT_THAT(wire, ElementsAre("INBOX", "Archive", "Sent Items", "Entw&APw-rfe", "a\\b \"c\"", "x\"y\\", "AT&T-Lab"));
  EXPECT_THAT(rig.session.lastReply().extraLines,
              ElementsAre("List completed.", "4 EXISTS", "OK [ALERT] Quota {almost} reached"));
  EXPECT_TRUE(rig.session.status(wire[4]));
  EXPECT_TRUE(rig.session.select(wire[6]));
  EXPECT_THROW(rig.session.select("bad\xFF\r\nC9 LOGOUT"), ImapUnsafeArgumentError);
  EXPECT_EQ(rig.server.transcript().size(), steps(script));
  EXPECT_THAT(rig.server.errors(), IsEmpty());
}

TEST(ImapSession, SelectStatusSearchFillTheMailboxRecord) {
  const std::string script =
      kPreauth +
      "C: C2 SELECT \"INBOX\"\n"
      "S: * FLAGS (\\Answered \\Seen)\nS: * OK [PERMANENTFLAGS (\\Seen \\*)] ok\n"
      "S: * 17 EXISTS\nS: * 2 RECENT\nS: * OK [UNSEEN 12] first unseen\n"
      "S: * OK [UIDVALIDITY 3857529045] ok\nS: * OK [UIDNEXT 4392] ok\n"
      "S: C2 OK [READ-WRITE] Select completed.\n"
      "C: C3 STATUS \"INBOX\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)\n"
      "S: * STATUS \"INBOX\" (MESSAGES 18 RECENT 3 UIDNEXT 4393 UIDVALIDITY 3857529045 UNSEEN 4)\nS: C3 OK\n"
      "C: C4 SEARCH UNSEEN\nS: * SEARCH 4 9 12 17\nS: C4 OK\n"
      "C: C5 STATUS \"Gone\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)\nS: C5 NO Mailbox doesn't exist\n"
      "C: C6 SEARCH NEW\nS: * SEARCH 4\nS: C6 BAD unknown criterion\n"
      "C: C7 SELECT \"Gone\"\nS: C7 NO Mailbox doesn't exist\n";
  Rig rig(script);
  rig.session.connect(true);
  ASSERT_TRUE(rig.session.select("INBOX"));
  EXPECT_EQ(rig.session.state(), ImapState::Selected);
  const ImapMailbox& m = rig.session.mailbox();
  EXPECT_EQ(m.name, "INBOX");
  EXPECT_EQ(m.totalMessages, 17u);
  EXPECT_EQ(m.recentMessages, 2u);
  EXPECT_EQ(m.firstUnseen, 12u);
  EXPECT_EQ(m.uidValidity, "3857529045");
  EXPECT_EQ(m.uidNext, "4392");
  EXPECT_THAT(m.flags, ElementsAre("\\Answered", "\\Seen"));
  EXPECT_THAT(m.permanentFlags, ElementsAre("\\Seen", "\\*"));
  EXPECT_TRUE(m.readWrite);
  ASSERT_TRUE(rig.session.status("INBOX"));
  EXPECT_EQ(m.totalMessages, 18u);
  EXPECT_EQ(m.unseenMessages, 4u);
  EXPECT_EQ(m.uidNext, "4393");
  ASSERT_TRUE(rig.session.search("UNSEEN"));
  EXPECT_THAT(m.searchResult, ElementsAre(4u, 9u, 12u, 17u));
  EXPECT_FALSE(rig.session.status("Gone"));
  EXPECT_EQ(rig.session.state(), ImapState::Selected);
  EXPECT_FALSE(rig.session.search("NEW"));  // refused: no result, not the previous one
  EXPECT_THAT(m.searchResult, IsEmpty());
  EXPECT_FALSE(rig.session.select("Gone"));
  EXPECT_EQ(rig.session.state(), ImapState::Authenticated);
  EXPECT_EQ(m.name, "INBOX");  // a failed SELECT leaves the record
  expectError<ImapStateError>([&] { rig.session.search("UNSEEN"); }, stateError("Authenticated").c_str());
  EXPECT_EQ(rig.server.transcript().size(), steps(script));
  EXPECT_THAT(rig.server.errors(), IsEmpty());
}

TEST(ImapSession, WrongStateAndMessageNumberFailBeforeSending) {
  Rig rig(kSelected);
  std::vector<std::string> names;
  expectError<ImapStateError>([&] { rig.session.listFolders(names); }, stateError("Non Authenticated").c_str());
  connectSelected(rig.session);
  const size_t sent = rig.server.transcript().size();
  MailMessage msg;
  std::string s;
  for (int64_t n : {0LL, -1LL, 4294967296LL}) {
    expectError<ImapNumberError>([&] { rig.session.fetchHeader(n, msg); },
                                 "Number parameter (relative message number or UID) is invalid; Must be 1 or greater.");
    EXPECT_THROW(rig.session.fetchUid(n, s), ImapNumberError);
    EXPECT_THROW(rig.session.fetchText(n, s), ImapNumberError);
  }
  EXPECT_EQ(rig.server.transcript().size(), sent);
}

TEST(ImapSession, FetchHeaderUidAndTextReadLiteralsByCount) {
  const std::string header = "From: \"Ann\" <ann@example.org>\r\nSubject: Hi\r\n\r\n";
  const std::string body = std::string("Line one\r\nC5 OK fake\0\rbare\r\n", 28);
  const std::string script =
      kSelected + "C: C3 FETCH 5 (RFC822.HEADER)\nS: * 5 FETCH (RFC822.HEADER {" + std::to_string(header.size()) +
      "}\nR: From: \"Ann\" <ann@example.org>\\r\\nSubject: Hi\\r\\n\\r\\n\nS:  FLAGS (\\Recent))\nS: C3 OK done\n"
      "C: C4 FETCH 5 (UID)\nS: * 5 FETCH (UID 345)\nS: C4 OK\nC: C5 FETCH 5 (BODY.PEEK[TEXT]<0.65536>)\n"
      "S: * 5 FETCH (BODY[TEXT]<0> {" + std::to_string(body.size()) + "}\nR: Line one\\r\\nC5 OK fake\\0\\rbare\\r\\n\nS: )\nS: C5 OK\n";
  Rig rig(script);
  connectSelected(rig.session);
  MailMessage msg;
  msg.subject = "left over";
  ASSERT_TRUE(rig.session.fetchHeader(5, msg));
  EXPECT_EQ(msg.subject, "Hi");
  ASSERT_FALSE(msg.from.empty());
  EXPECT_EQ(msg.from[0].address, "ann@example.org");
  EXPECT_THAT(rig.session.fetchItem().flags, ElementsAre("\\Recent"));
  std::string uid;
  ASSERT_TRUE(rig.session.fetchUid(5, uid));
  EXPECT_EQ(uid, "345");
  std::string text;
  ASSERT_TRUE(rig.session.fetchText(5, text));
  EXPECT_EQ(text, body);
  EXPECT_THAT(rig.server.errors(), IsEmpty());
  EXPECT_TRUE(rig.server.done());
}

TEST(ImapSession, ByeInTheMiddleOfACommand) {
  const std::string script = kSelected + "C: C3 SEARCH UNSEEN\nS: * SEARCH 1 2\nS: * BYE Server shutting down\nX\n";
  Rig rig(script);
  connectSelected(rig.session);
  expectError<ImapByeError>(
      [&] { rig.session.search("UNSEEN"); },
      "Server has gracefully disconnected you, possibly because the connection was idle for too long.");
  EXPECT_EQ(rig.session.state(), ImapState::UnexpectedlyDisconnected);
  EXPECT_FALSE(rig.session.connected());
  expectError<ImapStateError>([&] { rig.session.search("UNSEEN"); }, stateError("").c_str());
  EXPECT_THROW(rig.session.disconnect(), ImapDisconnectedError);
}

TEST(ImapSession, LogoutToleratesAServerThatClosesAfterBye) {
  Rig rig(kPreauth + "C: C2 LOGOUT\nS: * BYE bye\nX\n");
  rig.session.connect(true);
  rig.session.disconnect();
  EXPECT_EQ(rig.session.state(), ImapState::NonAuthenticated);
  EXPECT_FALSE(rig.session.connected());
}

// A stream that records every time-out asked of it.
class WaitRecorder : public ByteStream {
 public:
  WaitRecorder(std::unique_ptr<ByteStream> inner, std::vector<int>& waits) : inner_(std::move(inner)), waits_(waits) {}
  size_t read(char* buf, size_t cap, int timeoutMs) override {
    waits_.push_back(timeoutMs);
    return inner_->read(buf, cap, timeoutMs);
  }
  void write(std::string_view data) override { inner_->write(data); }
  bool readableWithin(int timeoutMs) override {
    waits_.push_back(timeoutMs);
    return inner_->readableWithin(timeoutMs);
  }
  void close() override { inner_->close(); }
  bool isOpen() const override { return inner_->isOpen(); }

 private:
  std::unique_ptr<ByteStream> inner_;
  std::vector<int>& waits_;
};

// Over real sockets, plain and with TLS from the first byte. The drain before
// each command discards what has already arrived (a stray line, a literal
// holding a fake tagged line) without waiting for more.
TEST(ImapSessionLoopback, WholeDialogueAndDrainOverPlainAndTls) {
  const std::string script =
      "S: * OK ready\nC: C1 LOGIN john \"pass word\"\nS: C1 OK in\n"
      "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK\n"
      "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK\nW: 10\nS: * 7 EXISTS\n"
      "C: C4 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C4 OK\n"
      "C: C5 SELECT \"INBOX\"\nS: * 3 FETCH (BODY[] {12}\nR: C5 OK evil\\r\\n)\\r\\n\n"
      "S: * 9 EXISTS\nS: * 10 EXISTS\nS: C5 OK [READ-WRITE] ok\n"
      "C: C6 FETCH 1 (RFC822.HEADER)\nS: * 1 FETCH (RFC822.HEADER {15}\n"
      "SLOW\nR: Subject: Hi\\r\\n\\r\\n)\\r\\n\nFAST\nS: C6 OK\n"
      "C: C7 LOGOUT\nS: * BYE\nS: C7 OK\nX\n";
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    test::LoopbackServer server(script, {.tls = tls});
    Transport transport;
    ImapSession session;
    session.setTransport(&transport);
    session.setHost("127.0.0.1");
    if (tls) session.setTlsMode(TlsMode::Implicit);
    session.setPort(server.port());
    session.setUsername("john");
    session.setPassword("pass word");
    session.setLineLimit(5000);
    std::vector<int> waits;
    transport.setConnector([&waits](const Transport::ConnectRequest& r) -> std::unique_ptr<ByteStream> {
      return std::make_unique<WaitRecorder>(connectTcp(r.host, r.port, r.timeoutMs, r.stop), waits);
    });
    session.connect(true);
    ASSERT_EQ(session.state(), ImapState::Authenticated);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the stray line arrives meanwhile
    ASSERT_TRUE(session.capability());
    EXPECT_THAT(session.lastReply().extraLines, ::testing::Not(::testing::Contains("7 EXISTS")));
    ASSERT_TRUE(session.select("INBOX"));
    EXPECT_EQ(session.mailbox().totalMessages, 10u);  // SELECT's own count
    MailMessage m;
    ASSERT_TRUE(session.fetchHeader(1, m));
    EXPECT_EQ(m.subject, "Hi");
    session.disconnect();
    server.finish();
    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_TRUE(server.done());
    // Clean input adds no wait: every look is either instant or a wait for a reply.
    for (int w : waits) EXPECT_TRUE(w == 0 || w >= 125) << w;
  }
}

// Odd replies to the FETCH commands, each played as one write and again byte
// by byte: the documented result or error, and after a recoverable case the
// next command still finds its reply in step.
constexpr std::string_view kFollowUp = "C: C4 FETCH 5 (UID)\nS: * 5 FETCH (UID 77)\nS: C4 OK\n";

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

using Action = std::function<std::string(ImapSession&)>;

struct FaultCase {
  std::string name;
  std::string command;   // the line the session must send
  std::string reply;     // what the server answers, as raw bytes
  std::string tail;      // script steps after the reply
  Action act;
  std::string expected;  // the summary `act` gives, or "error: " + message
};

// Runs `f`, then the follow-up UID fetch that proves the session is in step.
Action inStep(Action f) {
  return [f](ImapSession& s) {
    std::string result = f(s), uid;
    s.fetchUid(5, uid);
    return result + " uid " + uid;
  };
}

std::string summary(bool ok, const std::string& value) { return "ok " + std::to_string(ok) + " [" + value + "]"; }

const Action headerBytesAction = inStep([](ImapSession& s) {
  std::string h;
  return summary(s.fetchHeaderBytes(5, h), h);
});
// A header FETCH into a message object that holds a previous message.
const Action headerAction = inStep([](ImapSession& s) {
  MailMessage m;
  m.subject = "previous message";
  m.from[0].name = "previous sender";
  const bool ok = s.fetchHeader(5, m);
  return summary(ok, m.subject + "|" + m.from[0].name + "|" + std::to_string(m.rawHeaders.size()));
});
const Action textAction = inStep([](ImapSession& s) {
  std::string t = "stale";
  return summary(s.fetchText(5, t), t);
});
const Action uidAction = inStep([](ImapSession& s) {
  std::string u = "stale";
  return summary(s.fetchUid(5, u), u);
});

// Plays one script; returns the summary or the error text, and whether the
// session is still connected.
std::string play(const std::string& script, const Action& act, std::vector<std::string>* errors) {
  Rig rig(script);
  std::string result;
  try {
    rig.session.connect(true);
    if (!rig.session.select("INBOX")) return "select failed";
    result = act(rig.session);
  } catch (const ProtocolError& e) {
    result = std::string("error: ") + e.what() + (rig.session.connected() ? " (still connected)" : "");
  }
  if (errors) *errors = rig.server.errors();
  return result;
}

std::vector<FaultCase> faultCases() {
  const std::string fetch = "C3 FETCH 5 (RFC822.HEADER)", text = "C3 FETCH 5 (BODY.PEEK[TEXT]<0.65536>)";
  const std::string ok(kFollowUp), uid = "C3 FETCH 5 (UID)";
  static const char kTricky[] = "Subject: a\0b\r\nX-Bare: c\rd\r\nC3 OK done\r\n\r\n";
  const std::string tricky(kTricky, sizeof kTricky - 1), hdr = "Subject: mine\r\n\r\n";
  std::vector<FaultCase> cases = {
      {"empty literal", fetch, "* 5 FETCH (RFC822.HEADER {0}\r\n)\r\nC3 OK\r\n", ok, headerBytesAction, "ok 0 [] uid 77"},
      {"text NIL", text, "* 5 FETCH (BODY[TEXT] NIL)\r\nC3 OK\r\n", ok, textAction, "ok 0 [] uid 77"},
      {"text absent", text, "* 5 FETCH (UID 9)\r\nC3 OK\r\n", ok, textAction, "ok 0 [] uid 77"},
      {"text without data", text, "C3 OK\r\n", ok, textAction, "ok 0 [] uid 77"},
      {"text quoted", text, "* 5 FETCH (BODY[TEXT] \"short \\\"quoted\\\" text\")\r\nC3 OK\r\n", ok, textAction,
       "ok 1 [short \"quoted\" text] uid 77"},
      {"text refused after its data", text, "* 5 FETCH (BODY[TEXT] {3}\r\nabc)\r\nC3 NO odd\r\n", ok, textAction,
       "ok 0 [abc] uid 77"},
      {"uid absent", uid, "* 5 FETCH (FLAGS ())\r\nC3 OK\r\n", ok, uidAction, "ok 0 [] uid 77"},
      {"uid refused", uid, "C3 NO gone\r\n", ok, uidAction, "ok 0 [] uid 77"},
      {"uid of message 5 only", uid, "* 3 FETCH (UID 1)\r\n* 5 FETCH (UID 2)\r\nC3 OK\r\n", ok, uidAction,
       "ok 1 [2] uid 77"},
      {"invalid literal size", fetch, "* 5 FETCH (RFC822.HEADER {1a}\r\nabc)\r\nC3 OK\r\n", "STALL\n", headerBytesAction,
       "error: Unexpected: Literal size is not a number from 0 to 4294967295, offending line: * 5 FETCH "
       "(RFC822.HEADER {1a}"},
      {"dropped mid-literal", fetch, "* 5 FETCH (RFC822.HEADER {100}\r\nSubject: x", "X\n", headerBytesAction,
       "error: Connection Closed Gracefully."},
      {"literal holding NUL, bare CR and the live tag", fetch,
       "* 5 FETCH (RFC822.HEADER {" + std::to_string(tricky.size()) + "}\r\n" + tricky + " FLAGS (\\Seen))\r\nC3 OK\r\n",
       ok, headerBytesAction, "ok 1 [" + tricky + "] uid 77"},
      {"unsolicited lines around and inside the data", fetch,
       "* 3 EXISTS\r\n* 1 RECENT\r\n* FLAGS (\\Seen \\Draft)\r\n* OK [ALERT] System going down\r\n"
       "* 7 FETCH (FLAGS (\\Seen))\r\n* 7 FETCH (RFC822.HEADER {14}\r\nSubject: 7\r\n\r\n)\r\n"
       "* 5 FETCH (FLAGS (\\Recent))\r\n* 5 FETCH (UID 9 RFC822.HEADER {" + std::to_string(hdr.size()) + "}\r\n" + hdr +
           " FLAGS (\\Recent))\r\n* 4 EXISTS\r\n* 5 FETCH (RFC822.HEADER {5}\r\nlater)\r\nC3 OK\r\n",
       ok, headerBytesAction, "ok 1 [" + hdr + "] uid 77"},
      {"tag matched as a whole word", uid, "C31 OK bogus\r\nC3 OK\r\n", "STALL\n", uidAction,
       "error: Unexpected: Non-last response line (i.e. a data line) did not start with a *, offending line: C31 OK "
       "bogus (still connected)"},
      {"garbage instead of a reply", fetch, "\x01\x02garbage \xFF\r\nC3 OK\r\n", "STALL\n", headerBytesAction,
       "error: Unexpected: Non-last response line (i.e. a data line) did not start with a *, offending line: garbage "
       "\xFF (still connected)"},
  };
  // A header FETCH without a header reads its reply to the end, reports
  // false and leaves the message object cleared.
  for (const char* reply : {"* 5 FETCH (RFC822.HEADER NIL)\r\nC3 OK\r\n", "* 5 FETCH (FLAGS (\\Seen))\r\nC3 OK\r\n", "C3 NO no such message\r\n",
                            "* 5 FETCH (RFC822.HEADER {0}\r\n UID 8)\r\n* 6 FETCH (FLAGS ())\r\nC3 OK\r\n"})
    cases.push_back({std::string("no header: ") + reply, fetch, reply, ok, headerAction, "ok 0 [||0] uid 77"});
  return cases;
}

TEST(ImapSessionFaults, OddFetchRepliesInOneWriteAndByteByByte) {
  for (const FaultCase& c : faultCases()) {
    SCOPED_TRACE(c.name);
    const std::string head = std::string(kSelected) + "C: " + c.command + "\n";
    std::vector<std::string> errors;
    EXPECT_EQ(play(head + rawStep(c.reply) + c.tail, c.act, &errors), c.expected);
    EXPECT_THAT(errors, IsEmpty());
    EXPECT_EQ(play(head + "SLOW\n" + rawStep(c.reply) + "FAST\n" + c.tail, c.act, nullptr), c.expected) << "byte by byte";
  }
}

// Large replies played once: a 10 MB line without LF is refused and closes
// the connection; a 20 MB text is read in full with 64 KiB kept; a 3 MB
// header is cut at the last line end within 1 MiB; a reply of very many
// untagged lines keeps at most kMaxReplyLines of them. The session stays in
// step after each recoverable case.
TEST(ImapSessionFaults, HugeRepliesAreBounded) {
  const std::string followUp(kFollowUp);
  std::string search;
  uint32_t count = 0;
  while (search.size() < 300000) search += " " + std::to_string(++count);
  const struct {
    const char* name;
    std::string script;
    Action act;
    std::string expected;
  } cases[] = {
      {"10 MB line", "C: C3 SEARCH UNSEEN\nFILL: 10000000 7\nSTALL\n",
       [](ImapSession& s) { return std::to_string(s.search("UNSEEN")); }, "error: Max line length exceeded."},
      {"20 MB text",
       "C: C3 FETCH 5 (BODY.PEEK[TEXT]<0.65536>)\nS: * 5 FETCH (BODY[TEXT] {20000000}\nFILL: 20000000 x\nS: )\nS: C3 OK\n" +
           followUp,
       inStep([](ImapSession& s) {
         std::string t;
         const bool ok = s.fetchText(5, t);
         return summary(ok, std::to_string(t.size()));
       }),
       "ok 1 [65536] uid 77"},
      {"3 MB header",
       "C: C3 FETCH 5 (RFC822.HEADER)\nS: * 5 FETCH (RFC822.HEADER {3000000}\n"
       "REPEAT: 100000 X-Filler: 012345678901234567\nS: )\nS: C3 OK\n" +
           followUp,
       inStep([](ImapSession& s) {
         MailMessage m;
         const bool ok = s.fetchHeader(5, m);
         return summary(ok, std::to_string(m.rawHeaderBytes <= (1u << 20)) + " lines " +
                                std::to_string(m.rawHeaders.size() + m.droppedHeaderLines));
       }),
       "ok 1 [1 lines " + std::to_string((1u << 20) / 30) + "] uid 77"},
      {"300 KB SEARCH line", "C: C3 SEARCH UNSEEN\nR: * SEARCH" + search + "\\r\\n\nS: C3 OK\n" + followUp,
       inStep([](ImapSession& s) {
         const bool ok = s.search("UNSEEN");
         return "ok " + std::to_string(ok) + " " + std::to_string(s.mailbox().searchResult.size());
       }),
       "ok 1 " + std::to_string(count) + " uid 77"},
      {"101000 LIST lines", "C: C3 LIST \"\" *\nREPEAT: 101000 * LIST () \"/\" Folder\nS: C3 OK\n",
       [](ImapSession& s) {
         std::vector<std::string> names;
         const bool ok = s.listFolders(names);
         return "ok " + std::to_string(ok) + " " + std::to_string(names.size());
       },
       "ok 1 " + std::to_string(ImapSession::kMaxReplyLines)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> errors;
    EXPECT_EQ(play(std::string(kSelected) + c.script, c.act, &errors), c.expected);
    EXPECT_THAT(errors, IsEmpty());
  }
}

}  // namespace
}  // namespace brivane
