#pragma once
#include <atomic>
#include <optional>
#include <string>

#include "platform/message_target.h"
#include "platform/worker_thread.h"
#include "protocols/certificate.h"
#include "settings/account.h"

// One connection to an account's server with the details as they stand:
// the account editor's "Test connection" and the terminal's certificate
// commands. It connects, protects the connection as the account says
// (TLS, STARTTLS or none), logs in and logs out: it never selects a folder
// or reads mail.
namespace brivane {

struct ConnectionTestResult {
  enum class Outcome {
    Success,        // connected and logged in (or, with inspectOnly, the certificate read)
    Incomplete,     // server, port, user or password missing
    CannotConnect,  // no connection, a TLS failure, a protocol error
    NoStartTls,     // STARTTLS not offered or refused
    NeedsTls,       // the server takes passwords only over an encrypted connection
    CannotLogin,    // user name or password refused
    Certificate,    // the certificate did not verify and is not the trusted one
    Stopped,        // a stop was requested
  };
  Outcome outcome = Outcome::Stopped;
  // One line for the user ("Connected and logged in successfully", or what failed).
  std::string message;
  // The server's certificate: set whenever TLS was reached (Certificate
  // always; Success over TLS too).
  std::optional<CertificateInfo> certificate;
};

struct ConnectionTestOptions {
  bool login = true;         // false: end after TLS (and STARTTLS), before the login
  bool inspectOnly = false;  // accept any certificate, only to read it (never with login)
  int timeoutMs = 20000;     // the connection, the handshake and each reply
};

// Runs the test on the calling thread; `stop` (may be null) ends it early.
ConnectionTestResult testConnection(const TEmlAccount& account, const ConnectionTestOptions& options,
                                    const std::atomic<bool>* stop = nullptr);

// The test on a worker thread for the account editor. Posts `doneMessage`
// (wParam as given) to the target when it ends; result() is read after that.
class TConnectionTest : public WorkerThread {
 public:
  TConnectionTest(MessageTarget& target, uint32_t doneMessage, uintptr_t wParam);
  ~TConnectionTest() override;

  // Set before start().
  TEmlAccount account;
  ConnectionTestOptions options;

  // Valid once the done message came.
  const ConnectionTestResult& result() const { return result_; }

 protected:
  void execute() override;
  void abandoned(const std::string& why) override;

 private:
  MessageTarget& target_;
  uint32_t doneMessage_;
  uintptr_t wParam_;
  ConnectionTestResult result_;
  bool donePosted_ = false;
};

}  // namespace brivane
