#include "checking/imap_checker.h"

#include <memory>

#include "checking/check_cycle.h"
#include "checking/checker_rows.h"
#include "checking/session_setup.h"
#include "common/messages.h"
#include "common/status_words.h"
#include "protocols/imap_session.h"
#include "protocols/mail_message.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"
#include "settings/accounts.h"

namespace brivane {

namespace {

// Thrown at a stop test point: unwinds to the end steps without a row.
struct CheckStopped {};

}  // namespace

TIMAPChecker::TIMAPChecker(CheckCycle& cycle) : CheckerThread(cycle, WM_IMAPCHECKDONE) {}

TIMAPChecker::~TIMAPChecker() {
  requestStop();
  join();
}

void TIMAPChecker::stopPoint() const {
  if (stopRequested()) throw CheckStopped{};
}

std::vector<std::string> TIMAPChecker::watchedFolders(const std::vector<std::string>& names,
                                                      const std::vector<std::string>& entries) {
  std::vector<std::string> keys;
  for (const std::string& entry : entries) keys.push_back(folderKey(FolderPath(entry)));
  std::vector<std::string> ordered;
  std::vector<bool> taken(names.size(), false);
  for (const std::string& key : keys) {
    if (key.empty()) continue;  // an entry without ";" matches nothing
    for (size_t j = 0; j < names.size(); ++j) {
      if (!taken[j] && folderKey(names[j]) == key) {
        ordered.push_back(names[j]);
        taken[j] = true;
      }
    }
  }
  return ordered;
}

void TIMAPChecker::execute() {
  queueCheck();

  std::unique_ptr<Transport> tlsHandler;
  std::unique_ptr<ImapSession> client;
  if (enterConnectLock()) {
    tlsHandler = std::make_unique<Transport>();
    tlsHandler->setStopFlag(&stopFlag());
    client = std::make_unique<ImapSession>();
    startConnecting();

    client->setTransport(tlsHandler.get());
    configureSession(*client, *tlsHandler, account);  // 143 becomes 993 with TLS
    const bool connected = validateAndConnect(client->host(), client->port(), [&] {
      client->setConnectTimeout(kConnectTimeoutMs);
      client->connect(true);
    });
    if (connected && !stopRequested()) {
      if (client->state() != ImapState::Authenticated) {
        SetStatus(status::kInvUserPass, RowKind::Error);
        log(" ERROR: Invalid Username/Password... quitting");
      } else {
        log(" Authenticated successfully");
        SetStatus(status::kChecking, RowKind::Progress);
        try {
          if (readFolders(*client)) scanFolders(*client);
        } catch (const CheckStopped&) {
        } catch (const StopRequestedError&) {
        } catch (const std::exception& e) {
          reportCheckFailure(e, *tlsHandler);
        }
        folderNames.clear();
      }
    }
  }

  endCheck([&] {
    if (client) disconnectQuietly(*client);
    client.reset();
    tlsHandler.reset();
  });
}

bool TIMAPChecker::readFolders(ImapSession& client) {
  folderNames.clear();
  if (!client.listFolders(folderNames)) throw ProtocolError("Could not download folder list from server");
  folderNames = watchedFolders(folderNames, account.folders);
  stopPoint();
  if (folderNames.empty()) {
    SetStatus(status::kNoFolders, RowKind::Error);
    log(" ERROR: no folders... quitting");
    return false;
  }
  stopPoint();
  leaveConnectLock();  // other accounts may connect while this one scans
  return true;
}

void TIMAPChecker::scanFolders(ImapSession& client) {
  results.clear();
  bool anyUnseen = false;
  for (const std::string& folder : folderNames) {
    stopPoint();
    const bool selected = client.select(folder);
    const bool statusOk = client.status(folder);
    stopPoint();
    // The count of this folder only: a failed STATUS counts 0, never the
    // previous folder's number.
    const uint32_t unseen = statusOk ? client.mailbox().unseenMessages : 0;
    log(" " + std::to_string(unseen) + " new messages in " + folder);
    if (!selected || unseen == 0) continue;  // a folder that cannot be opened is skipped

    markCycleHasMessages();
    anyUnseen = true;
    MailMessage message;
    client.setReadTimeout(kFetchReadTimeoutMs);
    struct RestoreTimeout {
      ImapSession& client;
      ~RestoreTimeout() { client.setReadTimeout(-1); }
    } restore{client};

    stopPoint();
    client.search("UNSEEN");
    stopPoint();
    const std::vector<uint32_t> numbers = client.mailbox().searchResult;
    for (uint32_t m : numbers) {
      stopPoint();
      // A reply without a header leaves the object cleared: such a row shows
      // an empty sender, "[no subject]" and no date, never another message's.
      client.fetchHeader(m, message);
      stopPoint();
      MessageSummary row;
      fillMessageRow(row, message);
      std::string uid;
      client.fetchUid(m, uid);
      row.setMessageUid(uid);
      row.setFolder(folder);
      row.accountIndex = accountIndex;
      stopPoint();
      if (showPreview) {
        std::string text;
        client.fetchText(m, text);
        row.setPreview(previewText(text));
      }
      stopPoint();
      results.push_back(std::move(row));
    }
    client.search("NEW");
    stopPoint();
    if (!client.mailbox().searchResult.empty()) markNewMailArrived();
    account.hasMessages = true;
  }
  if (anyUnseen)
    PublishResults();
  else
    SetStatus(status::kNoMsg, RowKind::NoMessages);
}

}  // namespace brivane
