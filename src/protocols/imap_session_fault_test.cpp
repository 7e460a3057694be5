#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fake_server.h"
#include "protocols/imap_session.h"
#include "protocols/transport.h"

// Faults a server can throw at the IMAP session, each played once as one
// write and again split at every byte position (where that is cheap) and
// byte by byte: no crash, no hang, bounded memory, the documented error, and
// after a recoverable case the next command still finds the reply in step.
namespace brivane {
namespace {

using ::testing::IsEmpty;
using test::MemoryServer;

constexpr std::string_view kSelected =
    "S: * PREAUTH ready\nC: C1 CAPABILITY\nS: C1 OK done\n"
    "C: C2 SELECT \"INBOX\"\nS: * 9 EXISTS\nS: C2 OK [READ-WRITE] done\n";

// The follow-up command that proves the session is still in step.
constexpr std::string_view kFollowUp = "C: C4 FETCH 5 (UID)\nS: * 5 FETCH (UID 77)\nS: C4 OK\n";

// Bytes as the argument of an "R:" script step.
std::string rawStep(std::string_view bytes) {
  static const char* hex = "0123456789abcdef";
  std::string out = "R: ";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c >= 0x7F) out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
    else out += static_cast<char>(c);
  }
  out += '\n';
  return out;
}

using Action = std::function<std::string(ImapSession&)>;

struct FaultCase {
  std::string name;
  std::string command;  // the line the session must send
  std::string reply;    // what the server answers, as raw bytes
  std::string tail;     // script steps after the reply
  Action act;
  std::string expected;  // the summary `act` gives, or "error: " + message
  bool splittable = true;
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

const Action header = inStep([](ImapSession& s) {
  std::string h;
  return summary(s.fetchHeaderBytes(5, h), h);
});
// A header FETCH into a message object that holds a previous message.
const Action headerMessage = inStep([](ImapSession& s) {
  MailMessage m;
  m.subject = "previous message";
  m.from[0].name = "previous sender";
  const bool ok = s.fetchHeader(5, m);
  return summary(ok, m.subject + "|" + m.from[0].name + "|" + std::to_string(m.rawHeaders.size()));
});
const Action text = inStep([](ImapSession& s) {
  std::string t = "stale";
  return summary(s.fetchText(5, t), t);
});
const Action uid = inStep([](ImapSession& s) {
  std::string u = "stale";
  return summary(s.fetchUid(5, u), u);
});

// Plays one script; returns the summary or the error text, and whether the
// session is still connected.
std::string play(const std::string& script, const Action& act, std::vector<std::string>* errors) {
  ManualClock clock;
  MemoryServer server(script, &clock);
  Transport transport;
  transport.setClock(&clock);
  transport.setConnector(server.connector());
  ImapSession session;
  session.setTransport(&transport);
  session.setHost("imap.test");
  std::string result;
  try {
    session.connect(true);
    if (!session.select("INBOX")) return "select failed";
    result = act(session);
  } catch (const ProtocolError& e) {
    result = std::string("error: ") + e.what() + (session.connected() ? " (still connected)" : "");
  }
  if (errors) *errors = server.errors();
  return result;
}

std::vector<FaultCase> faultCases() {
  const std::string fetch = "C3 FETCH 5 (RFC822.HEADER)";
  const std::string okTail(kFollowUp);
  const std::string badLiteral = "error: Unexpected: Literal size is not a number from 0 to 4294967295, "
                                 "offending line: * 5 FETCH (RFC822.HEADER ";
  std::vector<FaultCase> cases;
  cases.push_back({"empty literal", fetch, "* 5 FETCH (RFC822.HEADER {0}\r\n)\r\nC3 OK\r\n", okTail, header,
                   "ok 0 [] uid 77"});
  // A header FETCH without a header reads its reply to the end, reports
  // false and leaves the message object cleared.
  for (const char* reply : {"* 5 FETCH (RFC822.HEADER NIL)\r\nC3 OK\r\n", "* 5 FETCH (RFC822.HEADER \"\")\r\nC3 OK\r\n",
                            "* 5 FETCH (RFC822.HEADER {0}\r\n)\r\nC3 OK\r\n", "* 5 FETCH (FLAGS (\\Seen))\r\nC3 OK\r\n",
                            "C3 OK nothing\r\n", "C3 NO no such message\r\n",
                            "* 5 FETCH (RFC822.HEADER {0}\r\n UID 8)\r\n* 6 FETCH (FLAGS ())\r\nC3 OK\r\n"})
    cases.push_back({std::string("no header: ") + reply, fetch, reply, okTail, headerMessage, "ok 0 [||0] uid 77"});
  const struct {
    const char* reply;
    const char* expected;
  } texts[] = {
      {"* 5 FETCH (BODY[TEXT] NIL)\r\nC3 OK\r\n", "ok 0 [] uid 77"},
      {"* 5 FETCH (BODY[TEXT] \"\")\r\nC3 OK\r\n", "ok 0 [] uid 77"},
      {"* 5 FETCH (UID 9)\r\nC3 OK\r\n", "ok 0 [] uid 77"},
      {"C3 OK\r\n", "ok 0 [] uid 77"},
      {"* 5 FETCH (BODY[TEXT] \"short \\\"quoted\\\" text\")\r\nC3 OK\r\n", "ok 1 [short \"quoted\" text] uid 77"},
      {"* 5 FETCH (BODY[TEXT] {3}\r\nabc)\r\nC3 NO odd\r\n", "ok 0 [abc] uid 77"},
  };
  for (const auto& t : texts)
    cases.push_back({std::string("text: ") + t.reply, "C3 FETCH 5 (BODY.PEEK[TEXT])", t.reply, okTail, text, t.expected});
  // The UID of message 5 only, not that of an unsolicited line for message 3.
  const struct {
    const char* reply;
    const char* expected;
  } uids[] = {
      {"* 5 FETCH (FLAGS ())\r\nC3 OK\r\n", "ok 0 [] uid 77"},
      {"C3 NO gone\r\n", "ok 0 [] uid 77"},
      {"* 3 FETCH (UID 1)\r\n* 5 FETCH (UID 2)\r\nC3 OK\r\n", "ok 1 [2] uid 77"},
  };
  for (const auto& u : uids) cases.push_back({std::string("uid: ") + u.reply, "C3 FETCH 5 (UID)", u.reply, okTail, uid, u.expected});
  for (const char* bad : {"{-1}", "{}", "{1a}", "{4294967296}", "{99999999999999999999}"}) {
    cases.push_back({std::string("literal ") + bad, fetch,
                     std::string("* 5 FETCH (RFC822.HEADER ") + bad + "\r\nabc)\r\nC3 OK\r\n", "STALL\n", header,
                     badLiteral + bad});
  }
  cases.push_back({"huge literal then silence", fetch, "* 5 FETCH (RFC822.HEADER {2000000000}\r\nFrom: a\r\n",
                   "STALL\n", header, "error: Read timed out."});
  cases.push_back({"huge literal then close", fetch, "* 5 FETCH (RFC822.HEADER {2000000000}\r\nFrom: a\r\n",
                   "X\n", header, "error: Connection Closed Gracefully."});
  cases.push_back({"dropped mid-literal", fetch, "* 5 FETCH (RFC822.HEADER {100}\r\nSubject: x", "X\n", header,
                   "error: Connection Closed Gracefully."});
  static const char kTricky[] = "Subject: a\0b\r\nX-Bare: c\rd\r\nC3 OK done\r\n\r\n";
  const std::string tricky(kTricky, sizeof kTricky - 1);
  cases.push_back({"literal holding NUL, bare CR and the live tag", fetch,
                   "* 5 FETCH (RFC822.HEADER {" + std::to_string(tricky.size()) + "}\r\n" + tricky +
                       " FLAGS (\\Seen))\r\nC3 OK\r\n",
                   okTail, header, "ok 1 [" + tricky + "] uid 77"});
  const std::string hdr = "Subject: mine\r\n\r\n";
  cases.push_back({"unsolicited lines around and inside the data", fetch,
                   "* 3 EXISTS\r\n* 1 RECENT\r\n* FLAGS (\\Seen \\Draft)\r\n* OK [ALERT] System going down\r\n"
                   "* 7 FETCH (FLAGS (\\Seen))\r\n* 7 FETCH (RFC822.HEADER {14}\r\nSubject: 7\r\n\r\n)\r\n"
                   "* 5 FETCH (FLAGS (\\Recent))\r\n"
                   "* 5 FETCH (UID 9 RFC822.HEADER {" + std::to_string(hdr.size()) + "}\r\n" + hdr +
                       " FLAGS (\\Recent))\r\n* 4 EXISTS\r\n* 5 FETCH (RFC822.HEADER {5}\r\nlater)\r\nC3 OK\r\n",
                   okTail, header, "ok 1 [" + hdr + "] uid 77"});
  cases.push_back({"BYE in the middle of a command", fetch,
                   "* 5 FETCH (RFC822.HEADER {10}\r\nabcdefghij)\r\n* BYE Shutting down\r\n", "X\n", header,
                   "error: Server has gracefully disconnected you, possibly because the connection was idle for "
                   "too long."});
  cases.push_back({"garbage instead of a reply", fetch, "\x01\x02garbage \xFF\r\nC3 OK\r\n", "STALL\n", header,
                   "error: Unexpected: Non-last response line (i.e. a data line) did not start with a *, "
                   "offending line: garbage \xFF (still connected)"});

  // Long lines.
  std::string search = "* SEARCH";
  for (uint32_t n = 1; search.size() < 300000; ++n) search += " " + std::to_string(n);
  const size_t count = static_cast<size_t>(std::count(search.begin(), search.end(), ' ')) - 1;
  cases.push_back({"300 KB SEARCH line", "C3 SEARCH UNSEEN", search + "\r\nC3 OK\r\n", okTail,
                   inStep([](ImapSession& s) {
                     const bool ok = s.search("UNSEEN");
                     return "ok " + std::to_string(ok) + " " + std::to_string(s.mailbox().searchResult.size());
                   }),
                   "ok 1 " + std::to_string(count) + " uid 77", false});
  return cases;
}

TEST(ImapSessionFaults, OneWriteSplitAtEveryByteAndByteByByte) {
  for (const FaultCase& c : faultCases()) {
    const std::string head = std::string(kSelected) + "C: " + c.command + "\n";
    std::vector<std::string> errors;
    EXPECT_EQ(play(head + rawStep(c.reply) + c.tail, c.act, &errors), c.expected) << c.name;
    EXPECT_THAT(errors, IsEmpty()) << c.name;
    if (!c.splittable) continue;
    EXPECT_EQ(play(head + "SLOW\n" + rawStep(c.reply) + "FAST\n" + c.tail, c.act, &errors), c.expected)
        << c.name << ", byte by byte";
    for (size_t k = 1; k < c.reply.size(); ++k) {
      const std::string script =
          head + rawStep(std::string_view(c.reply).substr(0, k)) + rawStep(std::string_view(c.reply).substr(k)) +
          c.tail;
      ASSERT_EQ(play(script, c.act, nullptr), c.expected) << c.name << ", split at " << k;
    }
  }
}

// Large replies played once: a 10 MB line without LF is refused and closes
// the connection; a 20 MB text is read in full with 64 KiB kept; a 3 MB
// header is cut at the last line end within 1 MiB; a reply of very many
// untagged lines keeps at most kMaxReplyLines of them. The session stays in
// step after each recoverable case.
TEST(ImapSessionFaults, HugeRepliesAreBounded) {
  const std::string followUp(kFollowUp);
  const struct {
    const char* name;
    std::string script;
    Action act;
    std::string expected;
  } cases[] = {
      {"10 MB line", "C: C3 SEARCH UNSEEN\nFILL: 10000000 7\nSTALL\n",
       [](ImapSession& s) { return std::to_string(s.search("UNSEEN")); }, "error: Max line length exceeded."},
      {"20 MB text",
       "C: C3 FETCH 5 (BODY.PEEK[TEXT])\nS: * 5 FETCH (BODY[TEXT] {20000000}\nFILL: 20000000 x\nS: )\nS: C3 OK\n" +
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
      {"101000 LIST lines", "C: C3 LIST \"\" *\nREPEAT: 101000 * LIST () \"/\" Folder\nS: C3 OK\n",
       [](ImapSession& s) {
         std::vector<std::string> names;
         const bool ok = s.listFolders(names);
         return "ok " + std::to_string(ok) + " " + std::to_string(names.size());
       },
       "ok 1 " + std::to_string(ImapSession::kMaxReplyLines)},
  };
  for (const auto& c : cases) {
    std::vector<std::string> errors;
    EXPECT_EQ(play(std::string(kSelected) + c.script, c.act, &errors), c.expected) << c.name;
    EXPECT_THAT(errors, IsEmpty()) << c.name;
  }
}

// Replies mutated at random after a header FETCH: whatever comes, the
// session ends with its result or a protocol error, never a crash or a hang.
TEST(ImapSessionFaults, MutatedRepliesEndInAResultOrAnError) {
  const std::string seeds[] = {
      "* 5 FETCH (UID 9 RFC822.HEADER {17}\r\nSubject: mine\r\n\r\n FLAGS (\\Seen))\r\nC3 OK done\r\n",
      "* 3 EXISTS\r\n* 5 FETCH (RFC822.HEADER NIL)\r\n* OK [ALERT] x\r\nC3 OK\r\n",
      "* LIST () \"/\" {3}\r\nabc\r\n* 5 FETCH (RFC822.HEADER \"a\\\"b\")\r\nC3 NO [x] y\r\n",
  };
  const std::string alphabet = "* ()[]{}\"\\0123456789C5FETCHOKNOBADBYE\r\n\x01\xFF";
  std::mt19937 rng(4242);
  for (int round = 0; round < 1500; ++round) {
    std::string reply = seeds[rng() % 3];
    const int edits = 1 + static_cast<int>(rng() % 5);
    for (int e = 0; e < edits && !reply.empty(); ++e) {
      const size_t pos = rng() % reply.size();
      switch (rng() % 3) {
        case 0: reply[pos] = alphabet[rng() % alphabet.size()]; break;
        case 1: reply.erase(pos, 1 + rng() % 3); break;
        default: reply.insert(pos, 1, alphabet[rng() % alphabet.size()]); break;
      }
    }
    if (reply.empty()) continue;
    const std::string script = std::string(kSelected) + "C: C3 FETCH 5 (RFC822.HEADER)\n" + rawStep(reply) +
                               (round % 2 ? "STALL\n" : "X\n");
    const std::string result = play(script, header, nullptr);
    EXPECT_FALSE(result.empty()) << reply;
  }
}

}  // namespace
}  // namespace brivane
