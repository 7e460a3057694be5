#include "checking/check_cycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>

#include "checking/checker_test_support.h"
#include "checking/fake_checkers.h"
#include "common/log_directory.h"
#include "common/status_words.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;
using ::testing::Contains;
using Rows = std::vector<std::string>;

namespace {

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override { cycle_.EndOfCycle = [this](bool last) { endCalls_.push_back(last); }; }
  // Collects done messages: all (until no checker is left) or one.
  void collect(bool all = true) {
    do {
      auto m = queue_.waitNextFor(5s);
      ASSERT_TRUE(m) << "a checker did not post its done message";
      cycle_.onDone(m->message, m->wParam);
    } while (all && cycle_.liveCheckers() > 0);
  }
  // The result list as "account:subject".
  Rows subjects() {
    return cycle_.readResults([](const std::vector<MessageSummary>& rows) {
      Rows out;
      for (const auto& r : rows) out.push_back(std::to_string(r.accountIndex) + ":" + r.subject);
      return out;
    });
  }
  std::map<std::string, FakeChecker::Body> bodies_;
  CycleRig rig_{std::make_unique<FakeFactory>(bodies_)};
  CheckCycle& cycle_ = rig_.cycle;
  MessageQueue& queue_ = rig_.queue;
  std::vector<bool> endCalls_;
};

TEST_F(CycleTest, StartsOneCheckerPerAccountInSlotsByProtocol) {
  cycle_.Accounts = {fakeAccount("A", false), fakeAccount("B", true), fakeAccount("C", false)};
  cycle_.displayMsgPreview = true;
  std::promise<void> release;
  const std::shared_future<void> go = release.get_future().share();
  bodies_["A"] = [go](FakeChecker&) { go.wait(); };
  // The POP3 count travels to the checker and back, the IMAP one never comes back.
  cycle_.Accounts[1].lastMessageCount = 2, cycle_.Accounts[2].lastMessageCount = 7;
  bodies_["B"] = [go](FakeChecker& c) { go.wait(), c.account.lastMessageCount += 3; };
  bodies_["C"] = [go](FakeChecker& c) { go.wait(), c.account.lastMessageCount = 99; };
  cycle_.newMailArrived = cycle_.hasMessages = 1;
  ASSERT_TRUE(cycle_.StartCheckCycle());
  EXPECT_EQ(cycle_.newMailArrived.load() + cycle_.hasMessages.load(), 0);  // cleared at the start
  ASSERT_EQ(std::pair(cycle_.imapCheckers.size(), cycle_.popCheckers.size()), std::pair(2ul, 1ul));
  const auto &imap = *cycle_.imapCheckers[1], &pop = *cycle_.popCheckers[0];
  EXPECT_EQ(std::tuple(imap.accountIndex, imap.slotIndex, pop.accountIndex, pop.slotIndex, pop.showPreview),
            std::tuple(2, 1, 1, 0, true));
  EXPECT_FALSE(cycle_.StartCheckCycle());  // a poll while any checker lives starts nothing
  EXPECT_EQ(cycle_.liveCheckers(), 3u);
  release.set_value();
  collect();
  EXPECT_EQ(endCalls_, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(std::pair(cycle_.Accounts[1].lastMessageCount, cycle_.Accounts[2].lastMessageCount), std::pair(5, 7));
  EXPECT_FALSE(cycle_.firstCycle);
  rig_.run();  // once all are collected the next poll starts a cycle
}

// C's rows stand first and keep their place; A and B show CHECKING until
// released, then each replaces only its own rows at the end of the list.
TEST_F(CycleTest, EachCheckerReplacesOnlyItsOwnRows) {
  cycle_.Accounts = {fakeAccount("A", false), fakeAccount("B", false), fakeAccount("C", true)};
  std::promise<void> aGo, bGo, cDone;
  std::latch checking(2);
  bodies_["C"] = [&cDone](FakeChecker& c) {
    c.addRow("c1");
    c.addRow("c2");
    c.PublishResults();
    cDone.set_value();
  };
  const auto waiter = [&checking](std::shared_future<void> go, Rows rows) {
    return [go, rows, &checking](FakeChecker& c) {
      c.SetStatus(status::kChecking, RowKind::Progress);
      checking.count_down();
      go.wait();
      for (const auto& r : rows) c.addRow(r);
      c.PublishResults();
    };
  };
  bodies_["A"] = waiter(aGo.get_future().share(), {"a1", "a2"});
  bodies_["B"] = waiter(bGo.get_future().share(), {"b1"});
  ASSERT_TRUE(cycle_.StartCheckCycle());
  cDone.get_future().wait();
  collect(false);  // C's done message
  checking.wait();
  bGo.set_value();
  collect(false);
  const Rows mid = subjects();
  aGo.set_value();
  collect();
  EXPECT_THAT(mid, ::testing::UnorderedElementsAre("2:c1", "2:c2", "0:CHECKING", "1:b1"));
  EXPECT_LT(std::ranges::find(mid, "2:c1"), std::ranges::find(mid, "2:c2"));
  EXPECT_EQ(subjects(), (Rows{"2:c1", "2:c2", "1:b1", "0:a1", "0:a2"}));
}

// The connect-lock wait honours a stop: the stopped checker posts done at once.
// Each check stamps its end (and says the list changed, even after its rows
// were taken): messages and "no new messages" are successes; a failure
// after a success keeps the success's time.
TEST_F(CycleTest, ChecksStampTheirEndsAndAFailureKeepsTheLastSuccess) {
  cycle_.Accounts = {fakeAccount("A", false), fakeAccount("B", true)};
  bodies_["A"] = [this](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages), cycle_.takeListChanged(); };
  bodies_["B"] = [this](FakeChecker& c) { c.addRow("b1"), c.PublishResults(), cycle_.takeListChanged(); };
  ASSERT_TRUE(cycle_.StartCheckCycle());
  collect();
  EXPECT_TRUE(cycle_.takeListChanged());
  const std::vector<CheckTimes> first = cycle_.checkTimes;
  ASSERT_EQ(first.size(), 2u);
  for (const CheckTimes& t : first) EXPECT_TRUE(!t.latestFailed && t.lastSuccessMs == t.latestEndMs && t.lastSuccessMs);
  bodies_["A"] = [](FakeChecker& c) { c.SetStatus(status::kErrConn, RowKind::Error); };
  ASSERT_TRUE(cycle_.StartCheckCycle());
  collect();
  const CheckTimes& a = cycle_.checkTimes[0];
  EXPECT_TRUE(a.latestFailed && a.lastSuccessMs == first[0].lastSuccessMs && a.latestEndMs >= a.lastSuccessMs);
}

TEST_F(CycleTest, StopWhileWaitingForConnectLockStillPostsDone) {
  cycle_.Accounts = {fakeAccount("Waiting", true)};
  std::promise<void> waiting;
  bodies_["Waiting"] = [&waiting](FakeChecker& c) {
    c.SetStatus(status::kQueued, RowKind::Queued);
    waiting.set_value();
    if (c.enterConnectLock()) ADD_FAILURE() << "got the lock although it is held";
    c.addRow("late");
    c.PublishResults();
    c.SetStatus(status::kNoMsg, RowKind::NoMessages);
  };
  std::unique_lock held(cycle_.connectLock);  // another account is connecting
  ASSERT_TRUE(cycle_.StartCheckCycle());
  waiting.get_future().wait();
  std::this_thread::sleep_for(50ms);
  const auto asked = CheckCycle::Clock::now();
  cycle_.requestStopAll();
  collect(false);
  EXPECT_LT(CheckCycle::Clock::now() - asked, 500ms);
  EXPECT_EQ(cycle_.liveCheckers(), 0u);  // the message was the POP3 slot's
  EXPECT_THAT(logSteps(rig_.dir.path(), "Waiting"), Contains(" Disconnected successfully - check completed"));
  EXPECT_EQ(subjects(), Rows{"0:QUEUED"});
}

// A done message while closing, an unknown message and an empty or
// out-of-range slot change nothing; waitAll reports a thread that does not end.
TEST_F(CycleTest, StrayDoneMessagesAreIgnoredAndWaitAllReportsStuckThreads) {
  cycle_.Accounts = {fakeAccount("A", false)};
  std::promise<void> release;
  bodies_["A"] = [go = release.get_future().share()](FakeChecker&) { go.wait(); };  // ignores stop requests
  ASSERT_TRUE(cycle_.StartCheckCycle());
  cycle_.requestStopAll();
  EXPECT_FALSE(cycle_.waitAll(CheckCycle::Clock::now() + 100ms));
  release.set_value();
  auto done = queue_.waitNextFor(5s);
  ASSERT_TRUE(done);
  cycle_.closing = 1;
  cycle_.onDone(done->message, done->wParam);
  cycle_.closing = 0;
  cycle_.onDone(WM_POPCHECKDONE, 0), cycle_.onDone(WM_IMAPCHECKDONE, 7), cycle_.onDone(WM_UPDATECHECKDONE, 0);
  EXPECT_EQ(cycle_.liveCheckers(), 1u);
  EXPECT_TRUE(endCalls_.empty() && cycle_.firstCycle);
  EXPECT_TRUE(cycle_.waitAll(CheckCycle::Clock::now() + 5s));
}

// Whatever ends a checker, its done message comes and the connect lock is
// free again: otherwise every other account stays "QUEUED" for ever.
TEST_F(CycleTest, ACheckerEndedByAnErrorStillEndsItsCheck) {
  cycle_.Accounts = {fakeAccount("Throws", false), fakeAccount("Next", true)};
  std::promise<void> thrown;
  bodies_["Throws"] = [&thrown](FakeChecker& c) {
    ASSERT_TRUE(c.enterConnectLock());
    thrown.set_value();
    throw std::bad_alloc();
  };
  bodies_["Next"] = [&thrown](FakeChecker& c) {
    thrown.get_future().wait();
    if (c.enterConnectLock()) c.SetStatus(status::kNoMsg, RowKind::NoMessages);
  };
  rig_.run();
  EXPECT_EQ(endCalls_.back(), true);
  EXPECT_THAT(subjects(), Contains("1:NOMSG"));
  EXPECT_THAT(test::readAll(rig_.dir / MAIN_LOG_FILE), ::testing::HasSubstr("Throws: check ended by an error: std::bad_alloc"));
}

// Each checker kind, stopped 300 ms after the start while its server stays
// silent: the done message comes within a second of the request and nothing
// is published after it.
TEST(CheckerStop, ACheckerOfEitherKindStopsAtOnceOnASilentServer) {
  for (bool pop : {false, true}) {
    SCOPED_TRACE(pop ? "POP3" : "IMAP");
    const std::string script = pop ? kPopLoggedIn + std::string("C: STAT\nSTALL\n")
                                   : kImapLoggedIn + std::string("C: C4 LIST \"\" *\nSTALL\n");
    CheckCycle::Clock::time_point asked;
    const auto stop = [&](CheckCycle& c) {
      std::this_thread::sleep_for(300ms);
      asked = CheckCycle::Clock::now();
      c.requestStopAll();
    };
    const CheckRun run = withServer(
        script, [&](int port) { return runOne(loopbackAccount("Stalled", pop, port, {"INBOX;Inbox"}), false, {}, stop); },
        false, 100);
    EXPECT_LT(CheckCycle::Clock::now() - asked, 1s);
    EXPECT_TRUE(run.posted);
    EXPECT_THAT(run.published, ::testing::ElementsAre("QUEUED", "CONNECTING", "CHECKING"));
    EXPECT_EQ(run.log.back(), " Disconnected successfully - check completed");
  }
}

}  // namespace
