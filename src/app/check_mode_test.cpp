#include "app/check_mode.h"

#include <gtest/gtest.h>

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

// The human-readable form, one row per kind of account outcome.
TEST_F(CheckMode, TextForm) {
  const auto outcome = [](const char* name, bool pop, bool finished, std::optional<std::string> status,
                          std::vector<MessageSummary> rows = {}, const char* detail = "") {
    const bool newMail = !rows.empty();
    return CheckOutcome{
        {{0, fakeAccount(name, pop, 0, !pop), pop ? 110 : 993, finished, status, detail, std::move(rows)}}, newMail,
        newMail};
  };
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
      {"no row at all", outcome("Pop", true, true, std::nullopt),
       "Pop (POP3, mail.example.org:110)\n  No messages to show\nNo new mail since the last check.\n"},
      {"error with the server's words", outcome("Busy", true, true, "ERRCONN", {}, "[IN-USE] locked"),
       "Busy (POP3, mail.example.org:110)\n  ERROR - Could not connect to mail.example.org\n  [IN-USE] locked\n"
       "No new mail since the last check.\n"},
      {"the list's whole text", outcome("Blank", true, true, "NOSERVER"),
       "Blank (POP3, mail.example.org:110)\n  No server specified for this account - please configure accounts in "
       "the screensaver options dialog\nNo new mail since the last check.\n"},
      {"unfinished", outcome("Slow", true, false, "CHECKING"),
       "Slow (POP3, mail.example.org:110)\n  The check did not finish in time.\n  Retrieving status...\n"
       "No new mail since the last check.\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatCheckText(c.outcome), c.text) << c.name;
}

// One JSON document on one line; a refused login brings the server's words.
// The exit status is 0 only when every account ended with messages or none.
TEST_F(CheckMode, JsonDocumentAndExitStatus) {
  bodies_["Home"] = [](FakeChecker& c) {
    c.markCycleHasMessages(), c.markNewMailArrived();
    c.results = {row("INBOX", "Ann", "Hi \xC3\xBF"), row("Lists", "Ann", "Hi \xC3\xBF")};
    for (auto& r : c.results) r.accountIndex = c.accountIndex;
    c.PublishResults();
  };
  bodies_["Pop"] = [](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages); };
  bodies_["Busy"] = [](FakeChecker& c) { c.SetStatus(status::kErrConn, RowKind::Error, "[IN-USE] locked"); };
  const AccountList accounts = {fakeAccount("Home", false, 143, true), fakeAccount("Pop", true),
                                fakeAccount("Busy", true)};
  EXPECT_EQ(run(accounts, {.json = true}), 1);
  const auto message = [](const char* folder) {
    return json{{"folder", folder}, {"sender", "Ann"}, {"subject", "Hi \xC3\xBF"},
                {"received", nullptr}, {"uid", "17"}, {"preview", ""}};
  };
  const auto account = [](int index, const char* name, bool pop, int port, json status, json messages) {
    return json{{"index", index}, {"name", name}, {"protocol", pop ? "POP3" : "IMAP4"}, {"server", "mail.example.org"},
                {"port", port}, {"tls", !pop}, {"finished", true}, {"status", status}, {"messages", messages}};
  };
  json busy = account(2, "Busy", true, 110, "ERRCONN", json::array());
  busy["statusDetail"] = "[IN-USE] locked";
  const json expected = {{"accounts", {account(0, "Home", false, 993, nullptr, {message("INBOX"), message("Lists")}),
                                       account(1, "Pop", true, 110, "NOMSG", json::array()), busy}},
                         {"newMailArrived", true},
                         {"hasMessages", true}};
  EXPECT_EQ(json::parse(out_.str()), expected) << out_.str();
  EXPECT_EQ(out_.str().find('\n'), out_.str().size() - 1);
  EXPECT_EQ(run({accounts[0], accounts[1], fakeAccount("Quiet", true)}, {}), 0) << "messages, none, no row at all";
  bodies_["Pop"] = [](FakeChecker& c) { c.SetStatus(status::kChecking, RowKind::Progress); };
  EXPECT_EQ(run({accounts[1]}, {}), 1) << "a progress row";
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
