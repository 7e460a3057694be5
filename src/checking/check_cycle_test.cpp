#include "checking/check_cycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "checking/checker_test_support.h"
#include "checking/fake_checkers.h"
#include "checking/message_queue.h"
#include "common/log_directory.h"
#include "common/messages.h"
#include "common/status_words.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;

namespace {

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cycle_.logDirectory = [this](std::string& out) {
      out = dir_;
      return true;
    };
    cycle_.EndOfCycle = [this](bool last) { endCalls_.push_back(last); };
  }
  void TearDown() override {
    cycle_.requestStopAll();
    cycle_.waitAll(CheckCycle::Clock::now() + 5s);
    std::filesystem::remove_all(dir_);
  }

  // Collects done messages until no checker is left (or the time runs out).
  void collectAll(std::chrono::milliseconds limit = 5s) {
    const auto deadline = CheckCycle::Clock::now() + limit;
    while (cycle_.liveCheckers() > 0) {
      auto m = queue_.waitNext(deadline);
      ASSERT_TRUE(m) << "a checker did not post its done message";
      cycle_.onDone(m->message, m->wParam);
    }
  }

  void collectOne() {
    auto m = queue_.waitNextFor(5s);
    ASSERT_TRUE(m) << "a checker did not post its done message";
    cycle_.onDone(m->message, m->wParam);
  }

  // Waits (at most 10 s) until the result list holds `row`.
  void waitForRow(const std::string& row) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto rows = subjects();
      if (std::find(rows.begin(), rows.end(), row) != rows.end()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "no row " << row;
  }

  std::vector<std::string> subjects() {
    return cycle_.readResults([](const std::vector<MessageSummary>& rows) {
      std::vector<std::string> out;
      for (const auto& r : rows) out.push_back(std::to_string(r.accountIndex) + ":" + r.subject);
      return out;
    });
  }

  std::map<std::string, FakeChecker::Body> bodies_;
  MessageQueue queue_;
  CheckCycle cycle_{queue_, std::make_unique<FakeFactory>(bodies_)};
  const std::string dir_ = testLogFolder();
  std::vector<bool> endCalls_;
};

TEST_F(CycleTest, StartsOneCheckerPerAccountInSlotsByProtocol) {
  cycle_.Accounts = {fakeAccount("A", false), fakeAccount("B", true), fakeAccount("C", false)};
  cycle_.displayMsgPreview = true;
  std::promise<void> release;
  std::shared_future<void> go = release.get_future().share();
  for (auto name : {"A", "B", "C"}) bodies_[name] = [go](FakeChecker&) { go.wait(); };
  cycle_.newMailArrived = 1;
  cycle_.hasMessages = 1;
  ASSERT_TRUE(cycle_.StartCheckCycle());
  EXPECT_EQ(cycle_.newMailArrived.load(), 0);
  EXPECT_EQ(cycle_.hasMessages.load(), 0);
  ASSERT_EQ(cycle_.imapCheckers.size(), 2u);
  ASSERT_EQ(cycle_.popCheckers.size(), 1u);
  EXPECT_EQ(cycle_.imapCheckers[1]->accountIndex, 2);
  EXPECT_EQ(cycle_.imapCheckers[1]->slotIndex, 1);
  EXPECT_EQ(cycle_.popCheckers[0]->accountIndex, 1);
  EXPECT_EQ(cycle_.popCheckers[0]->slotIndex, 0);
  EXPECT_TRUE(cycle_.popCheckers[0]->showPreview);

  // A poll while any checker lives starts nothing.
  EXPECT_FALSE(cycle_.StartCheckCycle());
  EXPECT_EQ(cycle_.liveCheckers(), 3u);
  release.set_value();
  collectAll();
  EXPECT_EQ(endCalls_, (std::vector<bool>{false, false, true}));
  EXPECT_FALSE(cycle_.firstCycle);
  // Once every checker is collected the next poll starts a new cycle.
  EXPECT_TRUE(cycle_.StartCheckCycle());
  collectAll();
}

TEST_F(CycleTest, RunTimeFieldsTravelBackOnCollection) {
  auto pop = fakeAccount("P", true);
  pop.lastMessageCount = 2;
  auto imap = fakeAccount("I", false);
  imap.lastMessageCount = 7;
  cycle_.Accounts = {pop, imap};
  bodies_["P"] = [](FakeChecker& c) {
    EXPECT_EQ(c.account.lastMessageCount, 2);
    c.account.lastMessageCount = 5;
    c.account.hasMessages = true;
  };
  bodies_["I"] = [](FakeChecker& c) {
    c.account.lastMessageCount = 99;  // never copied back for IMAP
    c.account.hasMessages = true;
  };
  ASSERT_TRUE(cycle_.StartCheckCycle());
  collectAll();
  EXPECT_EQ(cycle_.Accounts[0].lastMessageCount, 5);
  EXPECT_TRUE(cycle_.Accounts[0].hasMessages);
  EXPECT_EQ(cycle_.Accounts[1].lastMessageCount, 7);
  EXPECT_TRUE(cycle_.Accounts[1].hasMessages);

  // A status row of kind 2 or 3 clears hasMessages, which travels back too.
  bodies_["P"] = [](FakeChecker& c) { c.SetStatus(status::kNoMsg, RowKind::NoMessages); };
  bodies_["I"] = [](FakeChecker& c) { c.SetStatus(status::kErrConn, RowKind::Error); };
  ASSERT_TRUE(cycle_.StartCheckCycle());
  collectAll();
  EXPECT_FALSE(cycle_.Accounts[0].hasMessages);
  EXPECT_FALSE(cycle_.Accounts[1].hasMessages);
}

TEST_F(CycleTest, EachCheckerReplacesOnlyItsOwnRowsInEitherOrder) {
  for (bool firstEndsFirst : {true, false}) {
    SCOPED_TRACE(firstEndsFirst);
    cycle_.Accounts = {fakeAccount("A", false), fakeAccount("B", false), fakeAccount("C", true)};
    {
      std::lock_guard lock(cycle_.resultLock);
      cycle_.resultList.clear();
    }
    // A third account's rows stand in the middle and must keep their place.
    std::promise<void> aGo, bGo;
    auto aFuture = aGo.get_future().share(), bFuture = bGo.get_future().share();
    std::promise<void> cDone;
    bodies_["C"] = [&cDone](FakeChecker& c) {
      c.addRow("c1");
      c.addRow("c2");
      c.PublishResults();
      cDone.set_value();
    };
    // A and B show CHECKING until released, then publish their rows.
    const auto waiter = [](std::shared_future<void> go, std::vector<std::string> rows) {
      return [go, rows](FakeChecker& c) {
        c.SetStatus(status::kChecking, RowKind::Progress);
        go.wait();
        for (const auto& r : rows) c.addRow(r);
        c.PublishResults();
      };
    };
    bodies_["A"] = waiter(aFuture, {"a1", "a2"});
    bodies_["B"] = waiter(bFuture, {"b1"});
    ASSERT_TRUE(cycle_.StartCheckCycle());
    cDone.get_future().wait();
    collectOne();  // C's done message
    // Both show CHECKING before either is released (the middle state counts B's row).
    waitForRow("0:CHECKING");
    waitForRow("1:CHECKING");
    (firstEndsFirst ? aGo : bGo).set_value();
    collectOne();
    const auto mid = subjects();
    (firstEndsFirst ? bGo : aGo).set_value();
    collectAll();
    const auto end = subjects();
    if (firstEndsFirst) {
      // A's rows replace its status row at the end of the list; B's stays put.
      EXPECT_EQ(mid.size(), 4u + 1u);
      EXPECT_EQ(end, (std::vector<std::string>{"2:c1", "2:c2", "0:a1", "0:a2", "1:b1"}));
    } else {
      EXPECT_EQ(end, (std::vector<std::string>{"2:c1", "2:c2", "1:b1", "0:a1", "0:a2"}));
    }
    // C's rows keep their relative order in between too.
    std::vector<std::string> midC;
    std::copy_if(mid.begin(), mid.end(), std::back_inserter(midC), [](const std::string& r) { return r[0] == '2'; });
    EXPECT_EQ(midC, (std::vector<std::string>{"2:c1", "2:c2"}));
  }
}

TEST_F(CycleTest, StopWhileWaitingForConnectLockStillPostsDone) {
  cycle_.Accounts = {fakeAccount("Waiting", true)};
  std::promise<void> waiting;
  bodies_["Waiting"] = [&waiting](FakeChecker& c) {
    c.SetStatus(status::kQueued, RowKind::Queued);
    waiting.set_value();
    if (c.enterConnectLock()) ADD_FAILURE() << "got the lock although it is held";
  };
  std::unique_lock held(cycle_.connectLock);  // another account is connecting
  ASSERT_TRUE(cycle_.StartCheckCycle());
  waiting.get_future().wait();
  std::this_thread::sleep_for(50ms);
  const auto asked = CheckCycle::Clock::now();
  cycle_.requestStopAll();
  auto done = queue_.waitNextFor(1s);
  ASSERT_TRUE(done);
  EXPECT_LT(CheckCycle::Clock::now() - asked, 500ms);
  EXPECT_EQ(done->message, WM_POPCHECKDONE);
  cycle_.onDone(done->message, done->wParam);
  EXPECT_EQ(cycle_.liveCheckers(), 0u);
  EXPECT_THAT(logSteps(dir_, "Waiting"), ::testing::Contains(" Disconnected successfully - check completed"));
  // The status row published before the stop stays; nothing is published after it.
  EXPECT_EQ(subjects(), (std::vector<std::string>{"0:QUEUED"}));
}

TEST_F(CycleTest, NothingIsPublishedOnceStopWasRequested) {
  cycle_.Accounts = {fakeAccount("S", false)};
  bodies_["S"] = [](FakeChecker& c) {
    c.SetStatus(status::kChecking, RowKind::Progress);
    c.requestStop();
    c.addRow("late");
    c.PublishResults();
    c.SetStatus(status::kNoMsg, RowKind::NoMessages);
  };
  ASSERT_TRUE(cycle_.StartCheckCycle());
  collectAll();
  EXPECT_EQ(subjects(), (std::vector<std::string>{"0:CHECKING"}));
}

TEST_F(CycleTest, DoneMessageAfterClosingIsIgnored) {
  cycle_.Accounts = {fakeAccount("A", false)};
  ASSERT_TRUE(cycle_.StartCheckCycle());
  auto done = queue_.waitNextFor(5s);
  ASSERT_TRUE(done);
  cycle_.closing = 1;
  cycle_.onDone(done->message, done->wParam);
  EXPECT_EQ(cycle_.liveCheckers(), 1u);
  EXPECT_TRUE(endCalls_.empty());
  EXPECT_TRUE(cycle_.firstCycle);
  // Unknown messages and empty or out-of-range slots are ignored as well.
  cycle_.closing = 0;
  cycle_.onDone(WM_POPCHECKDONE, 0);
  cycle_.onDone(WM_IMAPCHECKDONE, 7);
  cycle_.onDone(WM_UPDATECHECKDONE, 0);
  EXPECT_EQ(cycle_.liveCheckers(), 1u);
  EXPECT_TRUE(cycle_.waitAll(CheckCycle::Clock::now() + 5s));
}

std::string mainLog(const std::string& dir) {
  std::ifstream in(dir + MAIN_LOG_FILE, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  ASSERT_TRUE(cycle_.StartCheckCycle());
  collectAll();
  EXPECT_EQ(endCalls_.back(), true);
  EXPECT_THAT(subjects(), ::testing::Contains("1:NOMSG"));
  EXPECT_THAT(mainLog(dir_), ::testing::HasSubstr("Throws: check ended by an error: std::bad_alloc"));
}

TEST_F(CycleTest, WaitAllReportsThreadsThatDoNotEnd) {
  cycle_.Accounts = {fakeAccount("Stuck", false)};
  std::promise<void> release;
  auto go = release.get_future().share();
  bodies_["Stuck"] = [go](FakeChecker&) { go.wait(); };  // ignores stop requests
  ASSERT_TRUE(cycle_.StartCheckCycle());
  cycle_.requestStopAll();
  EXPECT_FALSE(cycle_.waitAll(CheckCycle::Clock::now() + 100ms));
  release.set_value();
  EXPECT_TRUE(cycle_.waitAll(CheckCycle::Clock::now() + 5s));
}

}  // namespace
