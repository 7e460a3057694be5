#include "checking/pop_checker.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_set>

#include "checking/check_cycle.h"
#include "checking/checker_rows.h"
#include "checking/session_setup.h"
#include "common/messages.h"
#include "common/status_words.h"
#include "protocols/mail_message.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"
#include "protocols/transport.h"

namespace brivane {

TPOPChecker::TPOPChecker(CheckCycle& cycle) : CheckerThread(cycle, WM_POPCHECKDONE) {}

TPOPChecker::~TPOPChecker() {
  requestStop();
  join();
}

void TPOPChecker::execute() {
  runCheck<Pop3Session>(
      [](Transport& transport) { return std::make_unique<Pop3Session>(&transport); },
      [](Pop3Session& client) {
        client.setConnectTimeout(kConnectTimeoutMs);
        client.connect();
      },
      [](Pop3Session& client) { return client.connected(); },
      [this](Pop3Session& client, Transport&) {
        leaveConnectLock();  // other accounts may connect while this one reads
        checkMailbox(client);
      });
}

void TPOPChecker::checkMailbox(Pop3Session& client) {
  if (stopRequested()) return;
  log(" Checking for message count...");
  const long count = client.messageCount();
  log(" " + std::to_string(count) + " New Messages");
  if (stopRequested()) return;
  const std::shared_ptr<CheckMemory> memory = cycle_.memory;
  const std::string key = CheckMemory::accountKey(account);
  if (count <= 0) {
    SetStatus(status::kNoMsg, RowKind::NoMessages);
    // An empty maildrop is known to hold no ids without asking: any message
    // seen at the next check is new.
    remember(memory.get(), key, Pop3UidListing{Pop3UidListing::Outcome::Listed, {}}, AccountCache{fetched(), {}, {}});
    return;
  }
  const int32_t n32 = count > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                                   : static_cast<int32_t>(count);
  const bool moreThanBefore = account.lastMessageCount < n32;
  account.lastMessageCount = n32;

  client.setReadTimeout(kMessageReadTimeoutMs);
  // A maildrop past what the memory keeps is not even listed: its ids would be dropped.
  Pop3UidListing listing{Pop3UidListing::Outcome::TooMany, {}};
  if (count <= static_cast<long>(CheckMemory::kMaxPopIds)) listing = client.uidl(count, CheckMemory::kMaxPopIds);
  if (stopRequested()) return;
  // Ids remembered by an earlier check decide new mail; with none, the count does.
  std::optional<std::vector<std::string>> remembered;
  AccountCache cache{fetched(), {}, {}};
  if (memory && listing.listed()) {
    remembered = memory->popIds(key);
    cache = memory->takeCache(key, fetched());
  } else if (memory) {
    memory->takeCache(key, fetched());  // rows cannot be matched to messages without ids
  }

  if (fetched() != PanelPrivacy::CountsOnly) log(" Retrieving headers...");
  results.clear();
  struct LoopEnd {  // also when the loop is left by an error or a stop
    TPOPChecker& self;
    Pop3Session& client;
    ~LoopEnd() {
      client.setReadTimeout(-1);
      self.log(" Header check completed");
    }
  } loopEnd{*this, client};
  // Rows stand for the messages of a count-only account: their number is
  // bounded, whatever count the server claims.
  const long rowCount = fetched() == PanelPrivacy::CountsOnly ? std::min(count, kMaxCountedMessages) : count;
  const bool newById = collectRows(client, rowCount, listing, cache, remembered);
  const bool newMail = remembered ? newById : moreThanBefore;
  if (results.empty()) {
    SetStatus(status::kNoMsg, RowKind::NoMessages);
    remember(memory.get(), key, listing, std::move(cache));
    return;
  }
  // Only a check that shows messages sounds or counts as having them.
  if (stopRequested()) return;
  markCycleHasMessages();
  if (newMail) markNewMailArrived();
  PublishResults();
  remember(memory.get(), key, listing, std::move(cache));
}

bool TPOPChecker::collectRows(Pop3Session& client, long count, const Pop3UidListing& listing, AccountCache& cache,
                              const std::optional<std::vector<std::string>>& remembered) {
  const auto idOf = [&listing](long n) -> const std::string* {
    return listing.listed() ? &listing.ids[static_cast<size_t>(n - 1)].id : nullptr;
  };
  std::unordered_set<std::string_view> known;
  if (remembered) known.insert(remembered->begin(), remembered->end());
  std::map<std::string, MessageSummary> kept;  // the next check's cache
  bool newById = false;
  for (long top = count; top >= 1; top -= kFetchChunk) {
    // Slot j holds the row of message top - j: cached, read now, or none (refused).
    const long bottom = std::max(1L, top - kFetchChunk + 1);
    std::vector<std::optional<MessageSummary>> slots(static_cast<size_t>(top - bottom + 1));
    std::vector<long> fetch;
    size_t reused = 0;
    for (long n = top; n >= bottom; --n) {
      const std::string* id = idOf(n);
      const auto hit = id ? cache.popRows.find(*id) : cache.popRows.end();
      if (hit == cache.popRows.end()) {
        fetch.push_back(n);
      } else {
        slots[static_cast<size_t>(top - n)] = std::move(hit->second);
        ++reused;
      }
    }
    if (reused > 0) log(" Headers kept from the last check: " + std::to_string(reused));
    const PanelPrivacy level = fetched();
    if (level == PanelPrivacy::CountsOnly) {
      // No TOP: a row without sender or subject stands for each message.
      for (long n : fetch) {
        MessageSummary row;
        row.setFolder("INBOX");
        slots[static_cast<size_t>(top - n)] = std::move(row);
      }
      fetch.clear();
    }
    // TOP cannot ask for fewer header fields: a senders-only row drops the subject it does not show.
    client.retrieveHeaders(fetch, showPreview ? kPreviewLines : 0, [&](long n, bool shown, MailMessage& message) {
      if (stopRequested()) throw CheckStopped{};
      log(" Retrieving header " + std::to_string(count + 1 - n) + " of " + std::to_string(count));
      // A message the server refuses to show (deleted by another client, or
      // locked) is skipped, as the IMAP checker skips an expunged one.
      if (!shown) return;
      MessageSummary row;
      fillMessageRow(row, message);
      if (level == PanelPrivacy::SendersOnly) row.subject.clear();
      row.setFolder("INBOX");
      if (showPreview) row.setPreview(previewText(message.headerText(), message.bodyText()));
      slots[static_cast<size_t>(top - n)] = std::move(row);
    });
    for (size_t j = 0; j < slots.size(); ++j) {
      if (!slots[j]) continue;
      MessageSummary& row = *slots[j];
      row.accountIndex = accountIndex;  // the account may have moved since the row was cached
      if (const std::string* id = idOf(top - static_cast<long>(j))) {
        newById = newById || !known.contains(*id);
        kept.emplace(*id, row);
      }
      results.push_back(std::move(row));
      account.hasMessages = true;
    }
  }
  cache.popRows = std::move(kept);
  return newById;
}

void TPOPChecker::remember(CheckMemory* memory, const std::string& key, const Pop3UidListing& listing,
                           AccountCache cache) {
  if (!memory || stopRequested()) return;
  std::optional<std::vector<std::string>> ids;
  if (listing.listed()) {
    ids.emplace();
    ids->reserve(listing.ids.size());
    for (const Pop3Uid& uid : listing.ids) ids->push_back(uid.id);
  }
  memory->commitPopIds(key, std::move(ids));
  if (listing.listed()) memory->keepCache(key, std::move(cache));
}

}  // namespace brivane
