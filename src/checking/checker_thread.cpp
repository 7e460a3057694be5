#include "checking/checker_thread.h"

#include <algorithm>
#include <chrono>

#include "checking/check_cycle.h"
#include "checking/session_setup.h"
#include "common/status_words.h"
#include "common/text.h"
#include "protocols/imap_session.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"

namespace brivane {

CheckerThread::CheckerThread(CheckCycle& cycle, uint32_t doneMessage)
    : cycle_(cycle), doneMessage_(doneMessage) {}

CheckerThread::~CheckerThread() {
  // The thread body uses members of this class: end it before they go.
  requestStop();
  join();
}

void CheckerThread::SetStatus(const char* codeWord, RowKind kind, std::string_view serverText) {
  if (stopRequested()) return;
  // A password from the command that the server refused is asked for anew
  // at the next check.
  if (std::string_view(codeWord) == status::kInvUserPass && keepsPassword(account))
    cycle_.memory->forgetPassword(CheckMemory::accountKey(account));
  results.clear();
  results.push_back(statusRow(codeWord, kind, accountIndex, serverText));
  if (kind == RowKind::Error || kind == RowKind::NoMessages) account.hasMessages = false;
  PublishResults();
}

void CheckerThread::PublishResults() {
  if (stopRequested()) return;
  std::lock_guard lock(cycle_.resultLock);
  markListChanged();
  auto& list = cycle_.resultList;
  std::erase_if(list, [this](const MessageSummary& row) { return row.accountIndex == accountIndex; });
  list.insert(list.end(), results.begin(), results.end());
  if (cycle_.publishObserver) cycle_.publishObserver(accountIndex, results);
}

void CheckerThread::markListChanged() {
  if (cycle_.listChanged.exchange(1) == 0 && cycle_.onListChanged) cycle_.onListChanged();
}

void CheckerThread::openLog() {
  std::string dir;
  const auto& getDir = cycle_.logDirectory;
  if (getDir && getDir(dir)) log_.open(dir, account.name);
}

void CheckerThread::queueCheck() {
  openLog();
  log(" queued for check");
  SetStatus(status::kQueued, RowKind::Queued);
}

void CheckerThread::startConnecting(Transport& transport) {
  transport.setCheckLimit(cycle_.checkTimeLimit);
  if (cycle_.connector) transport.setConnector(cycle_.connector);
  log(createdLine());
  SetStatus(status::kConnecting, RowKind::Progress);
}

bool CheckerThread::enterConnectLock() {
  while (!stopRequested()) {
    if (cycle_.connectLock.try_lock_for(std::chrono::milliseconds(kStopSliceMs))) {
      holdsConnectLock_ = true;
      return true;
    }
  }
  return false;
}

void CheckerThread::leaveConnectLock() {
  if (!holdsConnectLock_) return;
  holdsConnectLock_ = false;
  cycle_.connectLock.unlock();
}

bool CheckerThread::prepareSignIn(AccountSecret& secret) {
  if (!fetchesSecret(account) || stopRequested()) return !stopRequested();
  // An incomplete account gets its row from the validation, without the command.
  if (firstMissingDetail(account.server, account.username, credentialOf(account), account.port) != MissingDetail::None)
    return true;
  const std::string key = CheckMemory::accountKey(account);
  const bool password = keepsPassword(account);
  if (password) {
    if (auto known = cycle_.memory->password(key)) {
      secret.use(std::move(*known));
      return true;
    }
  }
  if (cycle_.keyring) secret.keyring = cycle_.keyring;
  try {
    secret.fetch();
  } catch (...) {
    reportFailure(std::current_exception(), CheckPhase::Connect, nullptr);
    return false;
  }
  if (password) cycle_.memory->keepPassword(key, secret.secret());
  return !stopRequested();
}

bool CheckerThread::validateAccount(const std::string& server, const std::string& username,
                                    const std::string& password, int32_t port) {
  const char* word = nullptr;
  const char* line = nullptr;
  switch (firstMissingDetail(server, username, password, port)) {
    case MissingDetail::None:
      return true;
    case MissingDetail::Server:
      word = status::kNoServer;
      line = " ERROR: no server... quitting";
      break;
    case MissingDetail::Username:
      word = status::kNoUser;
      line = " ERROR: no user... quitting";
      break;
    case MissingDetail::Password:
      word = status::kNoPass;
      line = " ERROR: no password... quitting";
      break;
    case MissingDetail::Port:
      word = status::kNoPort;
      line = " ERROR: no port... quitting";
      break;
  }
  SetStatus(word, RowKind::Error);
  log(line);
  return false;
}

CheckFailure describeFailure(std::exception_ptr error, CheckPhase phase) {
  CheckFailure f;
  const auto fail = [&f](const char* word, std::string line) {
    f.statusWord = word;
    f.logLine = std::move(line);
  };
  try {
    std::rethrow_exception(error);
  } catch (const CheckStopped&) {
  } catch (const StopRequestedError&) {
  } catch (const std::exception& e) {
    if (phase == CheckPhase::Check) {
      fail(status::kErrConn, std::string(" ERROR: ") + e.what() + "... quitting");
      f.closeConnection =
          dynamic_cast<const ReadTimeoutError*>(&e) || dynamic_cast<const CheckTimeLimitError*>(&e);
    } else if (const auto* cert = dynamic_cast<const CertificateError*>(&e)) {
      f.serverText = cert->certificate().reason;
      f.certificate = cert->certificate();
      std::string line = " ERROR: " + std::string(e.what());
      for (const std::string& detail : certificateLines(cert->certificate())) line += "; " + detail;
      fail(status::kErrCert, line + "... quitting");
    } else if (const auto* command = dynamic_cast<const SignInCommandError*>(&e)) {
      f.serverText = statusDetail(command->detail());
      fail(status::kErrCommand, " ERROR: " + escapeControl(e.what()) + "... quitting");
    } else if (const auto* keyring = dynamic_cast<const KeyringSignInError*>(&e)) {
      f.serverText = statusDetail(keyring->detail());
      fail(status::kErrKeyring, " ERROR: " + keyring->detail() + "... quitting");
    } else if (dynamic_cast<const OAuthNotOfferedError*>(&e)) {
      fail(status::kNoOAuth, std::string(" ERROR: ") + e.what() + "... quitting");
    } else if (dynamic_cast<const StartTlsError*>(&e)) {
      fail(status::kNoStartTls, std::string(" ERROR: ") + e.what() + "... quitting");
    } else if (dynamic_cast<const ImapLoginDisabledError*>(&e)) {
      fail(status::kNeedTls, " ERROR: the server refuses plain-text login - choose TLS or STARTTLS... quitting");
    } else if (dynamic_cast<const CheckTimeLimitError*>(&e)) {
      fail(status::kErrConn, std::string(" ERROR: ") + e.what() + "... quitting");
    } else if (dynamic_cast<const SocketError*>(&e)) {
      fail(status::kInvServer, " ERROR: EIdSocketError... quitting");
    } else if (const auto* reply = dynamic_cast<const Pop3ReplyError*>(&e)) {
      if (isServerSideRefusal(reply->extendedCode())) {
        // The account is fine: the box is busy, logins come too often, or the
        // server has a problem of its own. Its words go with the row.
        f.serverText = statusDetail("[" + reply->extendedCode() + "] " + reply->text());
        fail(status::kErrConn, " ERROR: " + f.serverText + "... quitting");
      } else {
        fail(status::kInvUserPass, " ERROR: EIdReplyPOP3Error... quitting");
      }
    } else {
      fail(status::kErrConn, " ERROR: Unknown Connect Error... quitting");
    }
  }
  return f;
}

void CheckerThread::reportFailure(std::exception_ptr error, CheckPhase phase, Transport* transport) {
  const CheckFailure f = describeFailure(std::move(error), phase);
  if (!f.statusWord) return;
  log(f.logLine);
  if (f.certificate && cycle_.certificateObserver && !stopRequested())
    cycle_.certificateObserver(accountIndex, *f.certificate);
  SetStatus(f.statusWord, RowKind::Error, f.serverText);
  if (f.closeConnection && transport) transport->close();
}

bool isServerSideRefusal(std::string_view extendedCode) {
  return extendedCode == "IN-USE" || extendedCode == "LOGIN-DELAY" || extendedCode == "SYS/TEMP" ||
         extendedCode == "SYS/PERM";
}

void CheckerThread::markCycleHasMessages() { cycle_.hasMessages.store(1); }
void CheckerThread::markNewMailArrived() { cycle_.newMailArrived.store(1); }

void CheckerThread::recordEnd(bool completed) {
  if (stopRequested() || accountIndex < 0) return;
  const bool ok = completed && !results.empty() && std::all_of(results.begin(), results.end(), [](const auto& r) {
    return r.kind == RowKind::Message || r.kind == RowKind::NoMessages;
  });
  using namespace std::chrono;
  const int64_t endMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const int64_t durationMs = duration_cast<milliseconds>(steady_clock::now() - createdAt_).count();
  std::lock_guard lock(cycle_.resultLock);
  auto& all = cycle_.checkTimes;
  if (all.size() <= static_cast<size_t>(accountIndex)) all.resize(static_cast<size_t>(accountIndex) + 1);
  CheckTimes& times = all[static_cast<size_t>(accountIndex)];
  times.latestEndMs = endMs;
  times.latestDurationMs = durationMs;
  times.latestFailed = !ok;
  if (ok) times.lastSuccessMs = endMs;
  // The header's freshness changed: the list is rebuilt as for a publish.
  markListChanged();
}

void CheckerThread::finishCheck() {
  recordEnd(true);
  leaveConnectLock();
  cycle_.target().post(doneMessage_, static_cast<uintptr_t>(slotIndex));
  donePosted_ = true;
  closeLog();
}

void CheckerThread::abandoned(const std::string& why) {
  leaveConnectLock();
  try {
    std::string dir;
    if (cycle_.logDirectory && cycle_.logDirectory(dir))
      AppendMainLogLine(dir, logTimestamp() + " " + account.name + ": check " + why);
  } catch (...) {
    // Out of memory, say: the done message below matters more.
  }
  if (!donePosted_) {
    try {
      recordEnd(false);
    } catch (...) {
      // As above: the done message matters more.
    }
    cycle_.target().post(doneMessage_, static_cast<uintptr_t>(slotIndex));
    donePosted_ = true;
  }
  closeLog();
}

void CheckerThread::endCheck(const std::function<void()>& closeSession) {
  log(" Disconnecting...");
  if (closeSession) closeSession();
  log(" Disconnected successfully - check completed");
  finishCheck();
}

std::string CheckerThread::createdLine() const {
  return " created, host: " + account.server + ", username: " + account.username +
         ", usetls: " + (encryptionOf(account) == Encryption::Tls ? "True" : "False") +
         (encryptionOf(account) == Encryption::StartTls ? ", starttls: True" : "");
}

}  // namespace brivane
