#pragma once
#include <string>

#include "checking/check_memory.h"
#include "checking/checker_thread.h"

namespace brivane {

class MailMessage;
class Pop3Session;
class Transport;
struct Pop3UidListing;

// The checker of one POP3 account for one cycle: logs in, counts the
// messages (STAT), lists their unique-ids (UIDL), reads the headers of the
// messages this run has not seen yet (pipelined when the server allows it;
// with previews "TOP n 100", never RETR, so nothing is marked read) and
// publishes a row per message, newest first, or "NOMSG".
//
// With unique-ids (a server with UIDL, at most CheckMemory::kMaxPopIds
// messages), new mail is a shown message whose id the memory does not hold
// (when it holds the maildrop's ids at all), and the rows of messages the
// run's cache holds are reused. Without them every header is read and new
// mail means more messages than at the last check. Only a completed check
// (rows or NOMSG published) commits the ids and gives the cache back.
class TPOPChecker : public CheckerThread {
 public:
  explicit TPOPChecker(CheckCycle& cycle);
  ~TPOPChecker() override;

  static constexpr int kConnectTimeoutMs = 10000;
  static constexpr int kMessageReadTimeoutMs = 2000;
  // Lines of body text asked for with each header when previews are on.
  static constexpr int kPreviewLines = 100;
  // Messages whose headers are asked for in one go: bounds the bookkeeping
  // of a maildrop without unique-ids, whose count may be anything. A
  // maildrop with ids always fits in one.
  static constexpr long kFetchChunk = 8192;
  static_assert(kFetchChunk >= static_cast<long>(CheckMemory::kMaxPopIds));
  // Most messages a count-only account counts (it reads nothing of them,
  // so only this bounds its rows); a maildrop with ids is always counted whole.
  static constexpr long kMaxCountedMessages = 100000;
  static_assert(kMaxCountedMessages >= static_cast<long>(CheckMemory::kMaxPopIds));

 protected:
  void execute() override;

 private:
  // The connected part of the check: STAT, UIDL and the headers.
  void checkMailbox(Pop3Session& client);
  // The rows of messages count..1 into `results`, reading the headers the
  // cache lacks; true when a shown message is new by the remembered ids.
  bool collectRows(Pop3Session& client, long count, const Pop3UidListing& listing, AccountCache& cache,
                   const std::optional<std::vector<std::string>>& remembered);
  // Commits what a completed check learnt, unless a stop was requested.
  void remember(CheckMemory* memory, const std::string& key, const Pop3UidListing& listing, AccountCache cache);
};

}  // namespace brivane
