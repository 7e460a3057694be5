#pragma once
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "checking/connection_log.h"
#include "checking/message_summary.h"
#include "checking/session_setup.h"
#include "checking/sign_in.h"
#include "common/status_words.h"
#include "platform/worker_thread.h"
#include "protocols/certificate.h"
#include "settings/account.h"

namespace brivane {

// A POP3 login refused with an extended code that says the account is fine
// (RFC 2449, RFC 3206): "IN-USE", "LOGIN-DELAY", "SYS/TEMP" or "SYS/PERM".
// Such a refusal is a connection error, not a wrong password.
bool isServerSideRefusal(std::string_view extendedCode);

// Thrown by a checker at a point where it tests the stop request: unwinds
// to the end steps without a row.
struct CheckStopped {};

// Where in a check a failure happened: connecting and logging in, or the
// protocol's work after the login.
enum class CheckPhase { Connect, Check };

// What a failure comes to: the status row (none for a stop), the server's
// own words for it, the connection-log line, and whether the connection is
// closed at once (a silent server gets no logout).
struct CheckFailure {
  const char* statusWord = nullptr;
  std::string serverText;
  std::string logLine;
  bool closeConnection = false;
  std::optional<CertificateInfo> certificate;  // a refused certificate
};

// Sorts the failure `error` of `phase`. Connecting: a socket failure is
// "INVSERVER", a refused POP3 login "INVUSERPASS" (unless the server says
// the account is fine), a refused certificate "ERRCERT" (its reason as the
// server text, its fields in the log line), a failed STARTTLS "NOSTARTTLS",
// LOGINDISABLED "NEEDTLS", a failed sign-in command "ERRCMD" (how, as the
// server text), no OAuth mechanism "NOOAUTH", anything else "ERRCONN" (the check's time limit
// with a log line of its own). After the login every
// failure is "ERRCONN" with its own text; a read time-out or the time limit
// closes the connection. A stop shows nothing; an error that is no
// std::exception is thrown on.
CheckFailure describeFailure(std::exception_ptr error, CheckPhase phase);

class CheckCycle;

// The frame every checker thread shares: its private account copy, its own
// rows, the connection log, the status rows, the one-at-a-time connect lock
// and the done message. TPOPChecker and TIMAPChecker fill in the protocol
// work; tests derive fake checkers from it.
class CheckerThread : public WorkerThread {
 public:
  // `doneMessage` is WM_POPCHECKDONE or WM_IMAPCHECKDONE.
  CheckerThread(CheckCycle& cycle, uint32_t doneMessage);
  ~CheckerThread() override;

  // Filled by the cycle before the thread starts.
  TEmlAccount account;
  std::vector<MessageSummary> results;
  int32_t accountIndex = 0;
  int32_t slotIndex = 0;
  bool showPreview = false;
  // How much the check fetches beyond the counts: a check for a panel that
  // shows less fetches less (no previews, only senders, nothing).
  PanelPrivacy fetchLevel = PanelPrivacy::Everything;
  // What is fetched of each message: fetchLevel, without previews unless showPreview.
  PanelPrivacy fetched() const {
    return stricterPrivacy(fetchLevel, showPreview ? PanelPrivacy::Everything : PanelPrivacy::NoPreviews);
  }

  uint32_t doneMessage() const { return doneMessage_; }

  // Longest time one wait of a worker goes without testing the stop request.
  static constexpr int kStopSliceMs = 125;

 protected:
  // Replaces `results` by one status row and publishes it; kinds 2 and 3
  // also clear the copy's hasMessages. Nothing once a stop was requested.
  // `serverText`: the server's own words for the row (see statusRow).
  void SetStatus(const char* codeWord, RowKind kind, std::string_view serverText = {});
  // Replaces this account's rows in the cycle's result list by `results`.
  // Nothing once a stop was requested.
  void PublishResults();

  // Opens the connection log (the check runs without it when that fails).
  void openLog();
  // The first steps of every check: the log opened, "queued for check"
  // logged and the QUEUED row published.
  void queueCheck();
  // Once the connect lock is held: the check's time limit started on
  // `transport` (and the cycle's connector set on it, when it has one), the
  // " created, ..." line and the CONNECTING row.
  void startConnecting(Transport& transport);
  void log(std::string_view text) { log_.line(text); }
  void closeLog() { log_.close(); }

  // Waits for the connect lock in slices; false (without the lock) when a
  // stop was requested meanwhile.
  bool enterConnectLock();
  // Leaves the connect lock if this checker holds it (at most once).
  void leaveConnectLock();
  bool holdsConnectLock() const { return holdsConnectLock_; }

  // For the kinds whose secret a command prints: runs the command (or takes
  // the password it printed earlier in the run), before the checker waits
  // for the connect lock, so a slow command holds no other account up.
  // False (its row and log line written) when it failed or a stop came.
  bool prepareSignIn(AccountSecret& secret);

  // Tests server, username, password, port in this order; at the first
  // failure sets its status row and log line and returns false.
  bool validateAccount(const std::string& server, const std::string& username,
                       const std::string& password, int32_t port);

  // Validates the account (server and port as the session has them), then,
  // unless a stop was requested, runs `connect`. True once connected
  // (" Connected successfully" logged); a failure is reported.
  template <class Connect>
  bool validateAndConnect(const std::string& server, int32_t port, Connect&& connect) {
    if (!validateAccount(server, account.username, credentialOf(account), port) || stopRequested()) return false;
    try {
      connect();
    } catch (...) {
      reportFailure(std::current_exception(), CheckPhase::Connect, nullptr);
      return false;
    }
    log(" Connected successfully");
    return true;
  }
  // Logs, shows and acts on a failure as describeFailure sorts it; a failure
  // after login thus ends the check with an error row instead of leaving
  // "CHECKING" standing. `transport` is closed when the failure says so.
  void reportFailure(std::exception_ptr error, CheckPhase phase, Transport* transport);

  // The course of every check, whatever the protocol: queued; under the
  // connect lock a transport and a `Session` on it, the CONNECTING row, the
  // account validated and the session connected and logged in; once
  // `loggedIn` agrees, the CHECKING row and `check`; a failure of either
  // step reported; at the end the logout, the disconnect lines and the done
  // message. The checker supplies:
  //   open(Transport&) -> std::unique_ptr<Session>: a session on the transport
  //   connect(Session&): connects and logs in (may throw)
  //   loggedIn(Session&) -> bool: whether the check goes on; when not, it has
  //     shown why
  //   check(Session&, Transport&): the protocol's work (may throw)
  template <class Session, class Open, class Connect, class LoggedIn, class Check>
  void runCheck(Open&& open, Connect&& connect, LoggedIn&& loggedIn, Check&& check);

  // Sets the cycle's flags (only ever to 1 while checkers run).
  void markCycleHasMessages();
  void markNewMailArrived();

  // The last steps of every check, after the session was closed: the
  // disconnect lines are written by the caller; this stamps the check's end
  // (recordEnd), leaves the connect lock if still held, posts the done
  // message and closes the log.
  void finishCheck();
  // The disconnect lines around `closeSession` (logout and release of the
  // session; may be empty), then finishCheck().
  void endCheck(const std::function<void()>& closeSession);

  // " created, host: ..." line for the log.
  std::string createdLine() const;

  // A check that ends by an error escaping execute(), or whose thread could
  // not start, still leaves the connect lock, posts its done message (so the
  // cycle can end) and says why in the main log.
  void abandoned(const std::string& why) override;

  CheckCycle& cycle_;

 private:
  // Stamps the end of the check in the cycle's checkTimes: a success when
  // `completed` and the rows are messages or "no new messages". Nothing
  // once a stop was requested (the run is ending; it says nothing of the
  // mailbox).
  void recordEnd(bool completed);
  // Under resultLock: marks the list changed; the first mark since the owner
  // took the rows calls the cycle's onListChanged.
  void markListChanged();

  std::chrono::steady_clock::time_point createdAt_ = std::chrono::steady_clock::now();
  uint32_t doneMessage_;
  ConnectionLog log_;
  bool holdsConnectLock_ = false;
  bool donePosted_ = false;
};

template <class Session, class Open, class Connect, class LoggedIn, class Check>
void CheckerThread::runCheck(Open&& open, Connect&& connect, LoggedIn&& loggedIn, Check&& check) {
  queueCheck();

  // Declared first: the session's token source refers to it.
  AccountSecret secret(account, &stopFlag(), [this](const std::string& line) { log(line); });
  std::unique_ptr<Transport> tlsHandler;
  std::unique_ptr<Session> client;
  if (prepareSignIn(secret) && enterConnectLock()) {
    tlsHandler = std::make_unique<Transport>();
    tlsHandler->setStopFlag(&stopFlag());
    client = open(*tlsHandler);
    startConnecting(*tlsHandler);

    configureSession(*client, *tlsHandler, account);  // the TLS port with TLS (143 -> 993, 110 -> 995)
    secret.applyTo(*client);
    client->setSignInLog([this](const std::string& line) { log(line); });
    const bool connected = validateAndConnect(client->host(), client->port(), [&] { connect(*client); });
    if (connected && !stopRequested() && loggedIn(*client)) {
      SetStatus(status::kChecking, RowKind::Progress);
      try {
        check(*client, *tlsHandler);
      } catch (...) {
        reportFailure(std::current_exception(), CheckPhase::Check, tlsHandler.get());
      }
    }
  }

  endCheck([&] {
    if (client) disconnectQuietly(*client);
    client.reset();
    tlsHandler.reset();
  });
}

}  // namespace brivane
