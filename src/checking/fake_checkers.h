#pragma once
// Fake checkers for tests of the check cycle and the --check command: each
// runs the common frame's helpers with a body the test writes.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "checking/check_cycle.h"
#include "common/messages.h"

namespace brivane::testing {

// An account of the fake checkers' tests (their server is never contacted).
inline TEmlAccount fakeAccount(const std::string& name, bool pop, int port = 0, bool tls = false) {
  return {.name = name, .isPOP = pop, .username = "ann", .password = "secret", .server = "mail.example.org",
          .port = port ? port : pop ? 110 : 143, .useTLS = tls, .folders = {}};
}

class FakeChecker : public CheckerThread {
 public:
  using Body = std::function<void(FakeChecker&)>;
  FakeChecker(CheckCycle& cycle, uint32_t done, Body body) : CheckerThread(cycle, done), body_(std::move(body)) {}
  ~FakeChecker() override { requestStop(), join(); }
  using CheckerThread::enterConnectLock, CheckerThread::markCycleHasMessages, CheckerThread::markNewMailArrived,
      CheckerThread::PublishResults, CheckerThread::SetStatus;

  // Builds the checker's rows afresh (the first call drops a status row).
  void addRow(const std::string& subject) {
    if (!results.empty() && results.front().isStatus()) results.clear();
    MessageSummary& row = results.emplace_back();
    row.setSubject(subject), row.setFolder("INBOX"), row.accountIndex = accountIndex;
  }

 protected:
  void execute() override {
    openLog();
    if (body_) body_(*this);
    endCheck(nullptr);
  }

 private:
  Body body_;
};

// Gives every checker the body registered for its account name.
class FakeFactory : public CheckerFactory {
 public:
  explicit FakeFactory(std::map<std::string, FakeChecker::Body>& bodies) : bodies_(bodies) {}
  std::unique_ptr<CheckerThread> createImapChecker(CheckCycle& c) override { return make(c, WM_IMAPCHECKDONE); }
  std::unique_ptr<CheckerThread> createPopChecker(CheckCycle& c) override { return make(c, WM_POPCHECKDONE); }

 private:
  std::unique_ptr<CheckerThread> make(CheckCycle& c, uint32_t done) {
    // The body is chosen when the thread runs: the account copy is filled after creation.
    return std::make_unique<FakeChecker>(c, done, [this](FakeChecker& self) {
      if (auto it = bodies_.find(self.account.name); it != bodies_.end()) it->second(self);
    });
  }
  std::map<std::string, FakeChecker::Body>& bodies_;
};

}  // namespace brivane::testing
