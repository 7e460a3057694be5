#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "checking/check_memory.h"
#include "checking/check_times.h"
#include "checking/checker_thread.h"
#include "checking/connect_lock.h"
#include "checking/message_summary.h"
#include "platform/keyring.h"
#include "platform/message_target.h"
#include "protocols/certificate.h"
#include "protocols/transport.h"
#include "settings/account.h"

namespace brivane {

// Makes the checker threads of a cycle (tests give fake ones).
class CheckerFactory {
 public:
  virtual ~CheckerFactory() = default;
  virtual std::unique_ptr<CheckerThread> createImapChecker(CheckCycle& cycle) = 0;
  virtual std::unique_ptr<CheckerThread> createPopChecker(CheckCycle& cycle) = 0;
};

// The factory of the real TIMAPChecker and TPOPChecker.
std::unique_ptr<CheckerFactory> makeDefaultCheckerFactory();

// The saver-side state of check cycles, free of any window: the account list,
// the result list with its lock, the connect lock, the cycle flags, the slots
// of the running checkers, starting a cycle and collecting ended checkers.
// Every member function runs on the owner's (UI) thread; checkers reach the
// result list and flags from their threads.
class CheckCycle {
 public:
  using Clock = std::chrono::steady_clock;

  // Done messages of the checkers go to `target`; the owner hands them back
  // to onDone() on its own thread.
  explicit CheckCycle(MessageTarget& target, std::unique_ptr<CheckerFactory> factory = nullptr);
  // Asks running checkers to stop and joins them. The owner must have seen
  // them end (waitAll) before: a checker never outlives its cycle.
  ~CheckCycle();
  CheckCycle(const CheckCycle&) = delete;
  CheckCycle& operator=(const CheckCycle&) = delete;

  // --- UI thread only ---
  AccountList Accounts;
  bool firstCycle = true;
  bool displayMsgPreview = false;  // handed to each checker as showPreview
  // The saver's checks fetch no more than each account's panel shows
  // (TEmlAccount::panelPrivacy); `--check` leaves it off and fetches all.
  bool fetchForPanel = false;
  // Called after every collection with whether it was the last checker.
  std::function<void(bool last)> EndOfCycle;
  std::vector<std::unique_ptr<CheckerThread>> imapCheckers;
  std::vector<std::unique_ptr<CheckerThread>> popCheckers;

  // --- shared with the checkers ---
  std::vector<MessageSummary> resultList;  // guarded by resultLock
  std::mutex resultLock;
  ConnectLock connectLock;  // one account connects and logs in at a time
  // By account index (shorter when a check has not ended yet); guarded by
  // resultLock. A check that ends sets listChanged, so the list shows it.
  std::vector<CheckTimes> checkTimes;
  std::atomic<uint8_t> listChanged{0};
  std::atomic<uint8_t> newMailArrived{0};
  std::atomic<uint8_t> hasMessages{0};
  std::atomic<uint8_t> closing{0};
  // Called under resultLock with an account's new rows each time a checker
  // publishes (tests follow the row sequence with it); may be empty.
  std::function<void(int32_t accountIndex, const std::vector<MessageSummary>& rows)> publishObserver;
  // Called from a checker's thread, under resultLock, when a publish sets
  // listChanged that was clear: once for a burst of results until the owner
  // takes the rows (takeListChanged or a rebuild of the list). The saver
  // window posts itself a message with it; may be empty.
  std::function<void()> onListChanged;
  // Called from a checker's thread when an account's server presented a
  // certificate that was refused (before its ERRCERT row is published);
  // may be empty. `--check --json` shows the certificate with it.
  std::function<void(int32_t accountIndex, const CertificateInfo& certificate)> certificateObserver;
  // Longest time one account's check may take once it connects (set before
  // a cycle starts; tests shorten it). Past it the check ends with ERRCONN.
  std::chrono::milliseconds checkTimeLimit{std::chrono::minutes(10)};
  // How checkers connect (set before a cycle starts); empty: TCP to the
  // account's server. Fuzzers and tests hand out memory streams.
  Transport::Connector connector;
  // What checks remember about mailboxes (new-mail marks, the run's rows);
  // set before a cycle starts. Defaults to one that keeps it in memory only.
  std::shared_ptr<CheckMemory> memory = std::make_shared<CheckMemory>();
  // How checkers read a password from the desktop keyring (set before a
  // cycle starts; tests give fakes); empty: the Secret Service.
  std::function<KeyringResult(const KeyringEntry&, const KeyringOptions&)> keyring;
  // Where checkers write their connection logs; defaults to GetLogDirectory.
  std::function<bool(std::string&)> logDirectory;

  // Starts one checker per account unless a checker of the previous cycle is
  // still alive. True when a cycle was started.
  bool StartCheckCycle();

  // A done message (WM_IMAPCHECKDONE / WM_POPCHECKDONE with the slot index):
  // copies the account's run-time fields back, joins and frees the checker,
  // then calls EndOfCycle. Ignored after `closing` and for empty slots.
  void onDone(uint32_t message, uintptr_t wParam);

  // The checker in a slot, or nullptr.
  CheckerThread* checkerAt(uint32_t message, uintptr_t wParam) const;

  // Number of checkers not yet collected.
  size_t liveCheckers() const;

  // Runs fn(resultList) under resultLock.
  template <class Fn>
  decltype(auto) readResults(Fn&& fn) {
    std::lock_guard lock(resultLock);
    return std::forward<Fn>(fn)(std::as_const(resultList));
  }

  // Tests and clears listChanged in one step.
  bool takeListChanged() { return listChanged.exchange(0) != 0; }

  // Asks every live checker to stop.
  void requestStopAll();
  // Waits until every live checker has ended or the deadline passed; true
  // when all ended.
  bool waitAll(Clock::time_point deadline);

  MessageTarget& target() { return target_; }

 private:
  MessageTarget& target_;
  std::unique_ptr<CheckerFactory> factory_;
};

}  // namespace brivane
