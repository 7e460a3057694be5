#pragma once
#include "checking/checker_thread.h"

namespace brivane {

class MailMessage;
class Pop3Session;
class Transport;

// The checker of one POP3 account for one cycle: logs in, counts the
// messages (STAT), reads every message's header newest first (with previews
// "TOP n 100", never RETR, so nothing is marked read) and publishes a row
// per message, or "NOMSG".
class TPOPChecker : public CheckerThread {
 public:
  explicit TPOPChecker(CheckCycle& cycle);
  ~TPOPChecker() override;

  static constexpr int kConnectTimeoutMs = 10000;
  static constexpr int kMessageReadTimeoutMs = 2000;
  // Lines of body text asked for with each header when previews are on.
  static constexpr int kPreviewLines = 100;

 protected:
  void execute() override;

 private:
  // The connected part of the check: STAT and the message loop.
  void checkMailbox(Pop3Session& client, Transport& transport);
  // "TOP n 100" read as a whole message (header, blank line, body up to
  // "."); false (object cleared) when the server refused it.
  bool retrieveWithPreview(Pop3Session& client, Transport& transport, long n, MailMessage& message);
};

}  // namespace brivane
