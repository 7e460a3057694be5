// Every worker kind, stopped while its server stays silent: the done message
// comes within a second of the request and nothing is published after it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "checking/checker_test_support.h"
#include "checking/imap_folder_get.h"
#include "common/messages.h"
#include "fake_server.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct Stopped {
  bool posted = false;
  SteadyClock::duration afterStop{};
  std::vector<std::string> shown;  // what was published, in order
  std::string lastLog;
};

// A checker of the cycle, stopped 300 ms after the start.
Stopped stopChecker(bool pop, int port) {
  SteadyClock::time_point asked;
  const CheckRun run = runCycle({loopbackAccount("Stalled", pop, port, {"INBOX;Inbox"})}, 0, false,
                                [&](CheckCycle& cycle) {
                                  std::this_thread::sleep_for(300ms);
                                  asked = SteadyClock::now();
                                  cycle.requestStopAll();
                                });
  return {run.posted, SteadyClock::now() - asked, run.published, run.log.empty() ? "" : run.log.back()};
}

// The account editor's folder listing, stopped once it shows "Downloading...".
Stopped stopFolderGet(int port) {
  FolderGetResult result;
  MessageQueue editor;
  TIMAPFolderGet thread(result, editor);
  thread.account = loopbackAccount("", false, port);
  EXPECT_TRUE(thread.start());
  Stopped s;
  SteadyClock::time_point asked{};
  for (const auto deadline = SteadyClock::now() + 15s; SteadyClock::now() < deadline && !s.posted;) {
    if (auto r = result.take()) s.shown.push_back(r->lines.at(0));
    if (asked == SteadyClock::time_point{} && !s.shown.empty() && s.shown.back() == TIMAPFolderGet::kDownloading) {
      asked = SteadyClock::now();
      thread.requestStop();
    }
    if (auto m = editor.waitNextFor(5ms)) s.posted = m->message == WM_FOLDERGETDONE && m->wParam == 0;
  }
  s.afterStop = SteadyClock::now() - asked;
  thread.join();
  if (auto r = result.take()) s.shown.push_back(r->lines.at(0));
  return s;
}

struct Kind {
  const char* name;
  std::string script;  // the server falls silent at its end
  std::function<Stopped(int port)> run;
  std::vector<std::string> shown;  // empty: only the last one is known (the editor polls)
  std::string last, lastLog;
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

class WorkerStop : public ::testing::TestWithParam<Kind> {};

TEST_P(WorkerStop, DoneIsPostedAndNothingIsPublishedAfterTheStop) {
  const Kind& k = GetParam();
  test::LoopbackServer server(k.script + "STALL\n");
  const Stopped s = k.run(server.port());
  server.finish(100);
  EXPECT_TRUE(s.posted);
  EXPECT_LT(s.afterStop, 1s);
  ASSERT_FALSE(s.shown.empty());
  if (!k.shown.empty()) {
    EXPECT_EQ(s.shown, k.shown);
  }
  EXPECT_EQ(s.shown.back(), k.last);
  EXPECT_EQ(s.lastLog, k.lastLog);
}

const std::vector<std::string> kCheckerShows = {"QUEUED", "CONNECTING", "CHECKING"};
INSTANTIATE_TEST_SUITE_P(
    Kinds, WorkerStop,
    ::testing::Values(
        Kind{"ImapChecker", std::string(kImapLoggedIn) + "C: C4 LIST \"\" *\n",
             [](int port) { return stopChecker(false, port); }, kCheckerShows, "CHECKING",
             " Disconnected successfully - check completed"},
        Kind{"PopChecker", std::string(kPopLoggedIn) + "C: STAT\n", [](int port) { return stopChecker(true, port); },
             kCheckerShows, "CHECKING", " Disconnected successfully - check completed"},
        Kind{"ImapFolderGet", std::string(kImapLoggedIn) + "C: C4 LIST \"\" *\n", stopFolderGet, {},
             TIMAPFolderGet::kDownloading, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
