#include "checking/pop_checker.h"

#include <limits>
#include <memory>

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
      [this](Pop3Session& client, Transport& transport) {
        leaveConnectLock();  // other accounts may connect while this one reads
        checkMailbox(client, transport);
      });
}

void TPOPChecker::checkMailbox(Pop3Session& client, Transport& transport) {
  if (stopRequested()) return;
  log(" Checking for message count...");
  const long count = client.messageCount();
  log(" " + std::to_string(count) + " New Messages");
  if (stopRequested()) return;
  if (count <= 0) {
    SetStatus(status::kNoMsg, RowKind::NoMessages);
    return;
  }
  const int32_t n32 = count > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                                   : static_cast<int32_t>(count);
  const bool moreThanBefore = account.lastMessageCount < n32;
  account.lastMessageCount = n32;

  log(" Retrieving headers...");
  results.clear();
  MailMessage message;
  client.setReadTimeout(kMessageReadTimeoutMs);
  struct LoopEnd {  // also when the loop is left by an error or a stop
    TPOPChecker& self;
    Pop3Session& client;
    ~LoopEnd() {
      client.setReadTimeout(-1);
      self.log(" Header check completed");
    }
  } loopEnd{*this, client};

  for (long i = count; i >= 1; --i) {
    if (stopRequested()) return;
    log(" Retrieving header " + std::to_string(count + 1 - i) + " of " + std::to_string(count));
    // A message the server refuses to show (deleted by another client, or
    // locked) is skipped, as the IMAP checker skips an expunged one.
    const bool shown = showPreview ? retrieveWithPreview(client, transport, i, message)
                                   : client.retrieveHeader(i, message);
    if (stopRequested()) return;
    if (!shown) continue;
    MessageSummary row;
    fillMessageRow(row, message);
    row.setFolder("INBOX");
    row.accountIndex = accountIndex;
    if (showPreview) row.setPreview(previewText(message.headerText(), message.bodyText()));
    results.push_back(std::move(row));
    account.hasMessages = true;
  }
  if (results.empty()) {
    SetStatus(status::kNoMsg, RowKind::NoMessages);
    return;
  }
  // Only a check that shows messages sounds or counts as having them.
  if (stopRequested()) return;
  markCycleHasMessages();
  if (moreThanBefore) markNewMailArrived();
  PublishResults();
}

bool TPOPChecker::retrieveWithPreview(Pop3Session& client, Transport& transport, long n,
                                      MailMessage& message) {
  message.clear();
  client.sendCommand("TOP " + std::to_string(n) + " " + std::to_string(kPreviewLines));
  if (!client.lastReply().ok()) return false;
  bool headerEnded = false;  // by the blank line, so a body follows
  for (;;) {
    std::string line = transport.readReplyLine();
    if (line == ".") break;
    if (line.empty()) {
      headerEnded = true;
      break;
    }
    message.addRawHeader(std::move(line));
  }
  message.decodeHeaders();
  if (headerEnded) message.readBody(transport);
  return true;
}

}  // namespace brivane
