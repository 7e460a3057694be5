#include "checking/imap_checker.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

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

// One folder: opened read-only, its unseen messages found by UID, the rows
// of those the run has not seen yet fetched in batches, and the UIDs that are
// new by the folder's remembered mark.
void TIMAPChecker::scanFolder(ImapSession& client, const Folder& entry, FolderScan& scan) {
  const std::string& folder = entry.name;
  stopPoint();
  const bool opened = client.examine(entry.wire);
  stopPoint();
  const ImapMailbox& box = client.mailbox();
  const bool searched = opened && client.uidSearch("UNSEEN");
  stopPoint();
  std::vector<uint32_t> unseen = searched ? box.searchResult : std::vector<uint32_t>{};
  log(" " + std::to_string(unseen.size()) + " new messages in " + folder);
  if (!searched) return;  // a folder that cannot be opened or searched is skipped

  // Where the folder stands now, for the next check: without a UIDNEXT in
  // the reply, one past its highest UID (1 for an empty folder).
  const std::optional<uint32_t> validity = parseImapNumber(box.uidValidity);
  std::optional<uint32_t> uidNext = parseImapNumber(box.uidNext);
  const uint32_t recent = box.recentMessages;
  const uint32_t total = box.totalMessages;
  if (validity && *validity > 0 && (!uidNext || *uidNext == 0)) {
    const uint32_t highest = total == 0 ? 0 : client.highestUid();
    if (total == 0 || highest > 0) uidNext = highest + 1;
    stopPoint();
  }
  // A message that arrived between EXAMINE and the search is reported now,
  // so the next check starts past it.
  if (uidNext && !unseen.empty()) {
    const uint32_t last = *std::max_element(unseen.begin(), unseen.end());
    if (last < UINT32_MAX) uidNext = std::max(*uidNext, last + 1);
  }
  const std::string markKey = CheckMemory::folderKey(memoryKey_, entry.wire);
  if (validity && *validity > 0 && uidNext && *uidNext > 0) scan.marks[markKey] = FolderMark{*validity, *uidNext};

  // New: unseen at or above the mark of the last completed check with the
  // same UIDVALIDITY; with none, what the server still reports as \Recent.
  std::vector<uint32_t> fresh;
  const std::optional<FolderMark> mark = cycle_.memory->folderMark(markKey);
  if (mark && validity && mark->uidValidity == *validity) {
    for (uint32_t uid : unseen)
      if (uid >= mark->uidNext) fresh.push_back(uid);
  } else if (recent > 0 && !unseen.empty()) {
    if (client.uidSearch("NEW")) fresh = box.searchResult;
    stopPoint();
  }
  if (unseen.empty()) {
    scan.cache.folders.erase(entry.wire);
    return;
  }

  markCycleHasMessages();
  scan.anyUnseen = true;
  // Rows the run already built stay valid while UIDVALIDITY does.
  CachedFolder& cached = scan.cache.folders[entry.wire];
  if (!validity || cached.uidValidity != *validity) cached = CachedFolder{validity.value_or(0), {}};
  std::vector<uint32_t> missing;
  for (uint32_t uid : unseen)
    if (!cached.rows.count(uid)) missing.push_back(uid);
  const PanelPrivacy level = fetched();
  if (!missing.empty() && level == PanelPrivacy::CountsOnly) {
    // Nothing of a message is read: a row without sender or subject stands
    // for it in its folder's count.
    for (uint32_t uid : missing) {
      MessageSummary row;
      row.setMessageUid(std::to_string(uid));
      row.setFolder(folder);
      cached.rows[uid] = std::move(row);
    }
  } else if (!missing.empty()) {
    client.setReadTimeout(kFetchReadTimeoutMs);
    struct RestoreTimeout {
      ImapSession& client;
      ~RestoreTimeout() { client.setReadTimeout(-1); }
    } restore{client};
    using Parts = ImapSession::FetchParts;
    const Parts parts = level == PanelPrivacy::SendersOnly ? Parts::SenderFields
                        : showPreview                      ? Parts::HeaderAndText
                                                           : Parts::Header;
    client.uidFetchHeaders(missing, parts, [&](ImapSession::FetchedMessage& message) {
      MessageSummary row;
      fillMessageRow(row, MailMessage::fromHeaderBytes(message.header));
      if (level == PanelPrivacy::SendersOnly) row.subject.clear();  // not fetched: not "[no subject]" either
      row.setMessageUid(std::to_string(message.uid));
      row.setFolder(folder);
      if (showPreview) row.setPreview(previewText(message.header, message.text));
      cached.rows[message.uid] = std::move(row);
    });
    stopPoint();
  }
  // The folder's rows in the order of the search; only unseen messages stay
  // in the cache.
  std::map<uint32_t, MessageSummary> kept;
  for (uint32_t uid : unseen) {
    auto it = cached.rows.find(uid);
    if (it == cached.rows.end()) continue;
    MessageSummary row = it->second;
    row.accountIndex = accountIndex;
    results.push_back(std::move(row));
    kept.insert(cached.rows.extract(it));
  }
  cached.rows = std::move(kept);
  for (uint32_t uid : fresh)
    if (cached.rows.count(uid)) scan.newMail = true;
  account.hasMessages = true;
}

void TIMAPChecker::scanFolders(ImapSession& client) {
  results.clear();
  memoryKey_ = CheckMemory::accountKey(account);
  FolderScan scan;
  scan.cache = cycle_.memory->takeCache(memoryKey_, fetched());
  // The cache is handed back only by a check that completes: a failed one
  // leaves the next check to fetch afresh.
  for (const Folder& entry : folderNames) scanFolder(client, entry, scan);
  stopPoint();
  if (!scan.anyUnseen) {
    SetStatus(status::kNoMsg, RowKind::NoMessages);
  } else {
    if (scan.newMail && !results.empty()) markNewMailArrived();
    PublishResults();
  }
  if (stopRequested()) return;
  // Folders no longer watched leave the cache.
  for (auto it = scan.cache.folders.begin(); it != scan.cache.folders.end();)
    it = std::any_of(folderNames.begin(), folderNames.end(), [&](const Folder& f) { return f.wire == it->first; })
             ? std::next(it)
             : scan.cache.folders.erase(it);
  cycle_.memory->keepCache(memoryKey_, std::move(scan.cache));
  if (!cycle_.memory->commitFolders(scan.marks)) log(" ERROR: could not save which messages were announced");
}

}  // namespace brivane
