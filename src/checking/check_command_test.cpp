#include "checking/check_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "checking/fake_checkers.h"
#include "common/status_words.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// Publishes one message row per folder: sender "Ann", subject `subject` + folder name when `suffix`.
void publishRows(FakeChecker& c, std::initializer_list<const char*> folders, const std::string& subject, bool suffix) {
  c.results.clear();
  for (const char* folder : folders) {
    MessageSummary row;
    row.accountIndex = c.accountIndex;
    row.setFolder(folder);
    row.setSender("Ann");
    row.setSubject(suffix ? subject + folder : subject);
    row.setMessageUid("17");
    c.results.push_back(row);
  }
  c.PublishResults();
}

class CheckCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Connection logs of the fake checkers go to a private folder.
    static const std::string dir =
        (std::filesystem::temp_directory_path() / ("brivane_check_cmd_" + std::to_string(::getpid()))).string();
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
  }
  static void TearDownTestSuite() {
    if (const char* d = std::getenv("XDG_STATE_HOME")) std::filesystem::remove_all(d);
  }

  int run(const AccountList& accounts, CheckOptions options, CheckRunLimits limits = {}) {
    out_.str("");
    err_.str("");
    return runCheck(accounts, false, options, limits, out_, err_, std::make_unique<FakeFactory>(bodies_));
  }

  std::map<std::string, FakeChecker::Body> bodies_;
  std::ostringstream out_, err_;
};

TEST(CheckArguments, UsageErrorsAndGoodForms) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    bool json;
    int timeout;
  };
  const Case cases[] = {
      {{}, true, false, 120}, {{"--json"}, true, true, 120}, {{"--timeout", "5", "--json"}, true, true, 5},
      {{"--timeout=30"}, true, false, 30}, {{"--timeout"}, false, false, 0}, {{"--timeout", "0"}, false, false, 0},
      {{"--timeout", "-3"}, false, false, 0}, {{"--timeout", "1.5"}, false, false, 0},
      {{"--timeout", "99999999999"}, false, false, 0}, {{"--verbose"}, false, false, 0}, {{"/s"}, false, false, 0},
  };
  for (const Case& c : cases) {
    CheckOptions options;
    const auto error = parseCheckArguments(c.args, options);
    EXPECT_EQ(!error.has_value(), c.ok) << (c.args.empty() ? "" : c.args[0]);
    if (c.ok) {
      EXPECT_EQ(options.json, c.json);
      EXPECT_EQ(options.timeoutSeconds, c.timeout);
    }
  }
}

TEST(CheckFormat, PortAfterTheTlsSwitch) {
  EXPECT_EQ(effectivePort(fakeAccount("a", false, 143, true)), 993);
  EXPECT_EQ(effectivePort(fakeAccount("a", false, 143, false)), 143);
  EXPECT_EQ(effectivePort(fakeAccount("a", false, 993, false)), 993);
  EXPECT_EQ(effectivePort(fakeAccount("a", true, 110, true)), 995);
  EXPECT_EQ(effectivePort(fakeAccount("a", true, 1995, true)), 1995);
}

TEST(CheckFormat, LocalTimeWithOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  EXPECT_EQ(isoLocalTime(1796583280).value_or("-"), "2026-12-06T19:54:40+01:00");  // 18:54:40 UTC
  EXPECT_EQ(isoLocalTime(1782900000).value_or("-"), "2026-07-01T12:00:00+02:00");  // 10:00 UTC
  EXPECT_FALSE(isoLocalTime(0).has_value());
  EXPECT_FALSE(isoLocalTime(INT64_MAX).has_value());
  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TEST_F(CheckCommand, JsonDocumentOfAFullCycle) {
  bodies_["Home"] = [](FakeChecker& c) {
    c.markCycleHasMessages();
    c.markNewMailArrived();
    publishRows(c, {"INBOX", "Lists"}, "Hi \xFF", true);  // one byte that is not UTF-8
  };
  bodies_["Pop"] = [](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages); };
  // A login refused for the server's own reason: its words come along.
  bodies_["Busy"] = [](FakeChecker& c) { c.SetStatus(status::kErrConn, RowKind::Error, "[IN-USE] locked"); };
  const AccountList accounts = {fakeAccount("Home", false, 143, true), fakeAccount("Pop", true),
                                fakeAccount("Busy", true)};
  EXPECT_EQ(run(accounts, {.json = true}), 1);
  const auto message = [](const char* folder) {
    return json{{"folder", folder}, {"sender", "Ann"}, {"subject", std::string("Hi \xC3\xBF") + folder},
                {"received", nullptr}, {"uid", "17"}, {"preview", ""}};
  };
  const json expected = {
      {"accounts",
       {{{"index", 0}, {"name", "Home"}, {"protocol", "IMAP4"}, {"server", "mail.example.org"}, {"port", 993},
         {"tls", true}, {"finished", true}, {"status", nullptr}, {"messages", {message("INBOX"), message("Lists")}}},
        {{"index", 1}, {"name", "Pop"}, {"protocol", "POP3"}, {"server", "mail.example.org"}, {"port", 110},
         {"tls", false}, {"finished", true}, {"status", "NOMSG"}, {"messages", json::array()}},
        {{"index", 2}, {"name", "Busy"}, {"protocol", "POP3"}, {"server", "mail.example.org"}, {"port", 110},
         {"tls", false}, {"finished", true}, {"status", "ERRCONN"}, {"messages", json::array()},
         {"statusDetail", "[IN-USE] locked"}}}},
      {"newMailArrived", true},
      {"hasMessages", true}};
  EXPECT_EQ(json::parse(out_.str()), expected) << out_.str();
  // Standard output holds exactly the one document.
  EXPECT_EQ(out_.str().find('\n'), out_.str().size() - 1);
}

TEST_F(CheckCommand, ExitStatusFollowsTheStatusRows) {
  const struct {
    const char* word;
    RowKind kind;
    int code;
  } cases[] = {
      {status::kNoMsg, RowKind::NoMessages, 0},
      {status::kInvServer, RowKind::Error, 1},
      {status::kNoFolders, RowKind::Error, 1},
      {status::kChecking, RowKind::Progress, 1},
  };
  for (const auto& c : cases) {
    bodies_["A"] = [c](FakeChecker& self) { self.SetStatus(c.word, c.kind); };
    EXPECT_EQ(run({fakeAccount("A", false)}, {}), c.code) << c.word;
  }
  // A check that ends with no row at all is a success too.
  bodies_["A"] = [](FakeChecker&) {};
  EXPECT_EQ(run({fakeAccount("A", false)}, {}), 0);
}

TEST_F(CheckCommand, NoAccounts) {
  EXPECT_EQ(run({}, {.json = true}), 1);
  EXPECT_EQ(out_.str(), "{\"accounts\":[],\"newMailArrived\":false,\"hasMessages\":false}\n");
  EXPECT_EQ(run({}, {}), 1);
  EXPECT_NE(out_.str().find("You have not set up any mailboxes to check"), std::string::npos);
}

TEST_F(CheckCommand, TimeOutStopsTheCheckersAndReportsThemUnfinished) {
  bodies_["Slow"] = [](FakeChecker& c) {
    c.SetStatus(status::kChecking, RowKind::Progress);
    while (!c.stopRequested()) std::this_thread::sleep_for(5ms);
  };
  bodies_["Fast"] = [](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages); };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({fakeAccount("Slow", false), fakeAccount("Fast", true)}, {.json = true}, {.timeout = 200ms}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  const json doc = json::parse(out_.str());
  EXPECT_EQ(doc["accounts"][0]["finished"], false);
  EXPECT_EQ(doc["accounts"][0]["status"], "CHECKING");
  EXPECT_EQ(doc["accounts"][1]["finished"], true);
  EXPECT_NE(err_.str().find("did not finish"), std::string::npos);
}

TEST_F(CheckCommand, HumanFormGroupsByAccountAndFolder) {
  bodies_["Home"] = [](FakeChecker& c) { publishRows(c, {"INBOX", "INBOX", "Lists"}, "Hello", false); };
  bodies_["Bad"] = [](FakeChecker& c) { c.SetStatus(status::kInvUserPass, RowKind::Error); };
  EXPECT_EQ(run({fakeAccount("Home", false), fakeAccount("Bad", true)}, {}), 1);
  const std::string text = out_.str();
  EXPECT_NE(text.find("Home (IMAP4, mail.example.org:143)\n  INBOX\n    (no date)  Ann: Hello\n"
                      "    (no date)  Ann: Hello\n  Lists\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Bad (POP3, mail.example.org:110)\n  ERROR - Username/password is invalid\n"),
            std::string::npos)
      << text;
}

// Runs a check whose checker ignores the stop request; ends the process.
void runStuckCheck() {
  std::map<std::string, FakeChecker::Body> bodies;
  bodies["Stuck"] = [](FakeChecker&) { std::this_thread::sleep_for(1h); };
  std::ostringstream err;
  runCheck({fakeAccount("Stuck", false)}, false, {.json = true}, {.timeout = 100ms, .stopWait = 100ms}, std::cerr, err,
           std::make_unique<FakeFactory>(bodies));
  std::exit(42);  // not reached: the run ends the process
}

TEST_F(CheckCommand, CheckerThatNeverStopsEndsTheProcessAfterWritingTheOutput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runStuckCheck(), ::testing::ExitedWithCode(1), "\"finished\":false");
}

}  // namespace
