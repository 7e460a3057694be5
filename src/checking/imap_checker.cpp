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

TIMAPChecker::TIMAPChecker(CheckCycle& cycle) : CheckerThread(cycle, WM_IMAPCHECKDONE) {}

TIMAPChecker::~TIMAPChecker() {
  requestStop();
  join();
}

void TIMAPChecker::stopPoint() const {
  if (stopRequested()) throw CheckStopped{};
}

std::vector<size_t> TIMAPChecker::watchedFolderIndices(const std::vector<std::string>& names,
                                                       const std::vector<std::string>& entries) {
  std::vector<size_t> ordered;
  std::vector<bool> taken(names.size(), false);
  for (const std::string& entry : entries) {
    const std::string key = folderKey(FolderPath(entry));
    if (key.empty()) continue;  // an entry without ";" matches nothing
    for (size_t j = 0; j < names.size(); ++j) {
      if (!taken[j] && folderKey(names[j]) == key) {
        ordered.push_back(j);
        taken[j] = true;
      }
    }
  }
  return ordered;
}

std::vector<std::string> TIMAPChecker::watchedFolders(const std::vector<std::string>& names,
                                                      const std::vector<std::string>& entries) {
  std::vector<std::string> ordered;
  for (size_t j : watchedFolderIndices(names, entries)) ordered.push_back(names[j]);
  return ordered;
}

void TIMAPChecker::execute() {
  runCheck<ImapSession>(
      [this](Transport& transport) {
        auto client = std::make_unique<ImapSession>();
        client->setTransport(&transport);
        client->setAlertHandler([this](const std::string& text) { log(" ALERT: " + text); });
        return client;
      },
      [](ImapSession& client) {
        client.setConnectTimeout(kConnectTimeoutMs);
        client.connect(true);
      },
      [this](ImapSession& client) {
        if (client.state() != ImapState::Authenticated) {
          SetStatus(status::kInvUserPass, RowKind::Error);
          log(" ERROR: Invalid Username/Password... quitting");
          return false;
        }
        log(" Authenticated successfully");
        return true;
      },
      [this](ImapSession& client, Transport&) {
        struct ForgetFolders {
          std::vector<Folder>& folders;
          ~ForgetFolders() { folders.clear(); }
        } forget{folderNames};
        if (readFolders(client)) scanFolders(client);
      });
}

bool TIMAPChecker::readFolders(ImapSession& client) {
  folderNames.clear();
  std::vector<std::string> names, wireNames;
  if (!client.listFolders(names, &wireNames)) throw ProtocolError("Could not download folder list from server");
  for (size_t j : watchedFolderIndices(names, account.folders)) folderNames.push_back({names[j], wireNames[j]});
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
  bool newMail = false;  // announced only by a check that ends showing messages
  for (const Folder& entry : folderNames) {
    const std::string& folder = entry.name;
    stopPoint();
    const bool selected = client.select(entry.wire);
    // A STATUS answered without an UNSEEN item counts like a refused one.
    const bool statusOk = client.status(entry.wire) && client.mailbox().unseenKnown;
    stopPoint();
    // The count of this folder only, never the previous folder's number. A
    // refused STATUS in a folder that opened falls back to SEARCH UNSEEN.
    bool searched = false;
    uint32_t unseen = statusOk ? client.mailbox().unseenMessages : 0;
    if (selected && !statusOk) {
      searched = client.search("UNSEEN");
      unseen = static_cast<uint32_t>(client.mailbox().searchResult.size());
      stopPoint();
    }
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
    if (!searched) client.search("UNSEEN");
    stopPoint();
    const std::vector<uint32_t> numbers = client.mailbox().searchResult;
    for (uint32_t m : numbers) {
      stopPoint();
      // A refused FETCH, or one answered without a header (a bare OK or
      // "RFC822.HEADER NIL", as for a message another client expunged
      // meanwhile), gives no row.
      std::string header;
      if (!client.fetchHeaderBytes(m, header)) continue;
      message = MailMessage::fromHeaderBytes(header);
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
        row.setPreview(previewText(header, text));
      }
      stopPoint();
      results.push_back(std::move(row));
    }
    // New mail only from a SEARCH NEW the server answered.
    if (client.search("NEW") && !client.mailbox().searchResult.empty()) newMail = true;
    stopPoint();
    account.hasMessages = true;
  }
  if (!anyUnseen) {
    SetStatus(status::kNoMsg, RowKind::NoMessages);
    return;
  }
  stopPoint();
  if (newMail && !results.empty()) markNewMailArrived();
  PublishResults();
}

}  // namespace brivane
