#include "app/check_mode.h"

#include <gtest/gtest.h>

#include <regex>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "checking/fake_checkers.h"
#include "common/status_words.h"
#include "temp_dir.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

MessageSummary row(const char* folder, const char* sender, const char* subject, int64_t received = 0,
                   const char* preview = "") {
  return {.sender = sender, .subject = subject, .preview = preview, .messageUid = "17", .received = received,
          .folder = folder};
}
void setZone(const char* tz) { ::setenv("TZ", tz, 1), ::tzset(); }

class CheckMode : public ::testing::Test {
 protected:
  // Connection logs of the fake checkers go to a private folder; times are written in UTC.
  static void SetUpTestSuite() {
    ::setenv("XDG_STATE_HOME", state_->path().c_str(), 1);
    setZone("UTC0");
  }
  static void TearDownTestSuite() { delete state_; }
  int run(const AccountList& accounts, CheckOptions options, CheckRunLimits limits = {}) {
    out_.str(""), err_.str("");
    return runCheck(accounts, false, options, limits, out_, err_, std::make_unique<FakeFactory>(bodies_));
  }
  static inline test::TempDir* state_ = new test::TempDir("brivane-check-cmd");
  std::map<std::string, FakeChecker::Body> bodies_;
  std::ostringstream out_, err_;
};

TEST(CheckArguments, UsageErrorsAndGoodForms) {
  const struct {
    std::vector<std::string> args;
    bool ok, json;
    int timeout;
  } cases[] = {
      {{}, true, false, 120}, {{"--timeout", "5", "--json"}, true, true, 5}, {{"--timeout=30"}, true, false, 30},
      {{"--timeout"}, false, false, 0}, {{"--timeout", "0"}, false, false, 0}, {{"--timeout", "1.5"}, false, false, 0},
      {{"--timeout", "99999999999"}, false, false, 0}, {{"--verbose"}, false, false, 0},
  };
  for (const auto& c : cases) {
    CheckOptions options;
    EXPECT_EQ(!parseCheckArguments(c.args, options).has_value(), c.ok) << ::testing::PrintToString(c.args);
    EXPECT_TRUE(!c.ok || std::pair(options.json, options.timeoutSeconds) == std::pair(c.json, c.timeout));
  }
}

TEST_F(CheckMode, PortAfterTheTlsSwitchAndLocalTimeWithOffset) {
  for (auto [pop, port, tls, used] :
       {std::tuple{false, 143, true, 993}, {false, 143, false, 143}, {true, 110, true, 995}, {true, 1995, true, 1995}})
    EXPECT_EQ(effectivePort(fakeAccount("a", pop, port, tls)), used) << port;
  // No offset is "+00:00"; a negative one keeps its sign; summer time counts.
  for (auto [zone, when, text] : {std::tuple{"UTC0", 1796583280, "2026-12-06T18:54:40+00:00"},
                                  {"EST5", 1796583280, "2026-12-06T13:54:40-05:00"},
                                  {"CET-1CEST,M3.5.0,M10.5.0/3", 1796583280, "2026-12-06T19:54:40+01:00"},
                                  {"CET-1CEST,M3.5.0,M10.5.0/3", 1782900000, "2026-07-01T12:00:00+02:00"}}) {
    setZone(zone);
    EXPECT_EQ(isoLocalTime(when).value_or("-"), text) << zone;
  }
  setZone("UTC0");
  EXPECT_FALSE(isoLocalTime(0).has_value() || isoLocalTime(INT64_MAX).has_value());
}

CertificateInfo selfSigned() {
  return {.subject = "CN=mail.example.org", .issuer = "CN=Private\\, CA", .notBefore = "2026-12-01T00:00:00Z",
          .notAfter = "2027-12-01T00:00:00Z", .sha256 = "AB:CD", .problem = CertificateProblem::UnknownIssuer,
          .reason = "unknown issuer or self-signed"};
}

// The human-readable form, one row per kind of account outcome.
TEST_F(CheckMode, TextForm) {
  const auto outcome = [](const char* name, bool pop, bool finished, std::optional<std::string> status,
                          std::vector<MessageSummary> rows = {}, const char* detail = "") {
    const bool newMail = !rows.empty();
    return CheckOutcome{
        {{0, fakeAccount(name, pop, 0, !pop), pop ? 110 : 993, finished, status, detail, std::move(rows), {}, {}}},
        newMail, newMail};
  };
  auto refused = outcome("Home", false, true, "ERRCERT", {}, "unknown issuer or self-signed");
  refused.accounts[0].certificate = selfSigned();
  refused.accounts[0].certificate->subject = "CN=evil\x1B[2J";  // what a wrong escaping upstream would leave
  refused.accounts[0].certificate->issuer = "CN=evil\x07";
  const std::string unencrypted = "  Warning: the password travels unencrypted (choose TLS or STARTTLS in the "
                                  "account's settings)\n";
  const struct {
    const char* name;
    CheckOutcome outcome;
    std::string text;
  } cases[] = {
      {"no accounts", {}, "You have not set up any mailboxes to check\n"},
      {"messages grouped by folder",
       outcome("Home", false, true, std::nullopt, {row("INBOX", "Ann", "Hello", 1796583280, "first words"),
                                                   row("INBOX", "", "Hi"), row("Lists", "Bob", "Yo")}),
       "Home (IMAP4, mail.example.org:993, TLS)\n  INBOX\n    2026-12-06 18:54  Ann: Hello\n      first words\n"
       "    (no date)  (unknown sender): Hi\n  Lists\n    (no date)  Bob: Yo\nNew mail has arrived.\n"},
      {"no row at all, no encryption", outcome("Pop", true, true, std::nullopt),
       "Pop (POP3, mail.example.org:110, no encryption)\n" + unencrypted +
           "  No messages to show\nNo new mail since the last check.\n"},
      {"error with the server's words", outcome("Busy", true, true, "ERRCONN", {}, "[IN-USE] locked"),
       "Busy (POP3, mail.example.org:110, no encryption)\n" + unencrypted +
           "  ERROR - Could not connect to mail.example.org\n  [IN-USE] locked\nNo new mail since the last check.\n"},
      {"the list's whole text", outcome("Blank", true, true, "NOSERVER"),
       "Blank (POP3, mail.example.org:110, no encryption)\n" + unencrypted +
           "  No server specified for this account - please configure accounts in "
           "the screensaver options dialog\nNo new mail since the last check.\n"},
      {"unfinished", outcome("Slow", true, false, "CHECKING"),
       "Slow (POP3, mail.example.org:110, no encryption)\n" + unencrypted +
           "  The check did not finish in time.\n  Retrieving status...\nNo new mail since the last check.\n"},
      // The reason stands once, inside the status text; a control character never reaches the terminal.
      {"certificate refused", refused,
       "Home (IMAP4, mail.example.org:993, TLS)\n  ERROR - The certificate of mail.example.org is not trusted "
       "(unknown issuer or self-signed) - review it in the account's settings\n"
       "    Subject: CN=evil\\x1B[2J\n    Issuer: CN=evil\\x07\n"
       "    Valid from 2026-12-01T00:00:00Z to 2027-12-01T00:00:00Z\n    SHA-256: AB:CD\n"
       "    Problem: unknown issuer or self-signed\n  To review it: brivane --certificate '#0'\n"
       "No new mail since the last check.\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatCheckText(c.outcome), c.text) << c.name;
}

// Fake checkers that hand the test the cycle, whose certificate observer a refused certificate reaches.
struct CycleFactory : FakeFactory {
  using FakeFactory::FakeFactory;
  std::unique_ptr<CheckerThread> createImapChecker(CheckCycle& c) override {
    return cycle = &c, FakeFactory::createImapChecker(c);
  }
  CheckCycle* cycle = nullptr;
};

// One JSON document on one line; a refused login brings the server's words,
// a refused certificate the certificate. The exit status is 0 only when
// every account ended with messages or none.
TEST_F(CheckMode, JsonDocumentAndExitStatus) {
  bodies_["Home"] = [](FakeChecker& c) {
    c.markCycleHasMessages(), c.markNewMailArrived();
    c.results = {row("INBOX", "Ann", "Hi \xC3\xBF"), row("Lists", "Ann", "Hi \xC3\xBF")};
    for (auto& r : c.results) r.accountIndex = c.accountIndex;
    c.PublishResults();
  };
  bodies_["Pop"] = [](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages); };
  bodies_["Busy"] = [](FakeChecker& c) { c.SetStatus(status::kErrConn, RowKind::Error, "[IN-USE] locked"); };
  auto factory = std::make_unique<CycleFactory>(bodies_);
  bodies_["Cert"] = [f = factory.get()](FakeChecker& c) {
    f->cycle->certificateObserver(c.accountIndex, selfSigned());
    c.SetStatus(status::kErrCert, RowKind::Error, "unknown issuer or self-signed");
  };
  AccountList accounts = {fakeAccount("Home", false, 143, true), fakeAccount("Pop", true), fakeAccount("Busy", true),
                          fakeAccount("Cert", false)};
  setEncryption(accounts[3], Encryption::StartTls);
  out_.str("");
  EXPECT_EQ(runCheck(accounts, false, {.json = true}, {}, out_, err_, std::move(factory)), 1);
  const auto message = [](const char* folder) {
    return json{{"folder", folder}, {"sender", "Ann"}, {"subject", "Hi \xC3\xBF"},
                {"received", nullptr}, {"uid", "17"}, {"preview", ""}};
  };
  const auto account = [](int index, const char* name, bool pop, int port, const char* encryption, json status,
                          json messages) {
    return json{{"index", index}, {"name", name}, {"protocol", pop ? "POP3" : "IMAP4"},
                {"server", "mail.example.org"}, {"port", port}, {"tls", encryption == std::string("TLS")},
                {"encryption", encryption}, {"finished", true}, {"status", status}, {"messages", messages}};
  };
  json busy = account(2, "Busy", true, 110, "None", "ERRCONN", json::array());
  busy["statusDetail"] = "[IN-USE] locked";
  json cert = account(3, "Cert", false, 143, "STARTTLS", "ERRCERT", json::array());
  cert["statusDetail"] = "unknown issuer or self-signed";
  cert["certificate"] = {{"subject", "CN=mail.example.org"}, {"issuer", "CN=Private\\, CA"},
                         {"notBefore", "2026-12-01T00:00:00Z"}, {"notAfter", "2027-12-01T00:00:00Z"},
                         {"sha256", "AB:CD"}, {"reason", "unknown issuer or self-signed"}};
  const json expected = {
      {"accounts", {account(0, "Home", false, 993, "TLS", nullptr, {message("INBOX"), message("Lists")}),
                    account(1, "Pop", true, 110, "None", "NOMSG", json::array()), busy, cert}},
      {"newMailArrived", true},
      {"hasMessages", true}};
  json doc = json::parse(out_.str());
  const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");  // local time and offset
  for (json& a : doc["accounts"]) {
    EXPECT_TRUE(std::regex_match(a["checkedAt"].get<std::string>(), iso) && a["durationMs"].get<int64_t>() >= 0);
    a.erase("checkedAt"), a.erase("durationMs");
  }
  EXPECT_EQ(doc, expected) << out_.str();
  EXPECT_EQ(out_.str().find('\n'), out_.str().size() - 1);
  EXPECT_EQ(run({accounts[0], accounts[1], fakeAccount("Quiet", true)}, {}), 0) << "messages, none, no row at all";
  for (const char* word : {status::kChecking, status::kErrCert, status::kNoStartTls, status::kNeedTls}) {
    bodies_["Pop"] = [word](FakeChecker& c) { c.SetStatus(word, RowKind::Error); };
    EXPECT_EQ(run({accounts[1]}, {}), 1) << word;
  }
  EXPECT_EQ(run({}, {.json = true}), 1) << "no accounts";
  EXPECT_EQ(out_.str(), "{\"accounts\":[],\"newMailArrived\":false,\"hasMessages\":false}\n");
}

TEST_F(CheckMode, TimeOutStopsTheCheckersAndReportsThemUnfinished) {
  bodies_["Slow"] = [](FakeChecker& c) {
    c.SetStatus(status::kChecking, RowKind::Progress);
    while (!c.stopRequested()) std::this_thread::sleep_for(5ms);
  };
  bodies_["Fast"] = [](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages); };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({fakeAccount("Slow", false), fakeAccount("Fast", true)}, {.json = true}, {.timeout = 200ms}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  const json doc = json::parse(out_.str());
  EXPECT_EQ(std::tuple(doc["accounts"][0]["finished"], doc["accounts"][0]["status"], doc["accounts"][1]["finished"]),
            std::tuple(false, "CHECKING", true));
  EXPECT_TRUE(doc["accounts"][0]["checkedAt"].is_null() && doc["accounts"][0]["durationMs"].is_null());
  EXPECT_NE(err_.str().find("did not finish"), std::string::npos);
}

// A checker that ignores the stop request: the output is written, then the process ends.
TEST_F(CheckMode, CheckerThatNeverStopsEndsTheProcessAfterWritingTheOutput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  bodies_["Stuck"] = [](FakeChecker&) { std::this_thread::sleep_for(1h); };
  EXPECT_EXIT((runCheck({fakeAccount("Stuck", false)}, false, {.json = true}, {.timeout = 100ms, .stopWait = 100ms},
                        std::cerr, err_, std::make_unique<FakeFactory>(bodies_)), std::exit(42)),
              ::testing::ExitedWithCode(1), "\"finished\":false");
}

}  // namespace
