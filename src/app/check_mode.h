#pragma once
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/message_summary.h"
#include "protocols/certificate.h"
#include "settings/account.h"

namespace brivane {

struct SaverSettings;
class FileRegistryStore;

// `brivane --check [--json] [--timeout SECONDS]`: one check cycle of every
// account through the same cycle and checkers as the saver, then the outcome
// on standard output.

struct CheckOptions {
  bool json = false;
  int timeoutSeconds = 120;
};

// Parses the arguments that follow "--check". Returns an error text for a
// usage error, nothing when the arguments are good.
std::optional<std::string> parseCheckArguments(const std::vector<std::string>& args, CheckOptions& options);

// What one account's check came to.
struct AccountOutcome {
  int index = 0;
  TEmlAccount account;
  int port = 0;           // the port connected to (after the TLS switch)
  bool finished = false;  // the checker ended within the time-out
  std::optional<std::string> status;  // code word of its status row
  std::string statusDetail;           // the server's words on it (a refused login), or why a certificate was refused
  std::vector<MessageSummary> messages;
  // The certificate the server presented when it was refused (ERRCERT).
  std::optional<CertificateInfo> certificate;
  // When its check ended and how long it took; none when it did not end.
  std::optional<CheckTimes> times;
};

struct CheckOutcome {
  std::vector<AccountOutcome> accounts;
  bool newMailArrived = false;
  bool hasMessages = false;
};

// The port a check connects to: with TLS the protocol's regular port (143,
// 110) becomes its TLS port (993, 995); any other port stays.
int effectivePort(const TEmlAccount& account);

// The local ISO 8601 form with offset ("2026-12-06T19:54:40+01:00") of a
// row's date, or nothing for 0.
std::optional<std::string> isoLocalTime(int64_t when);

// Each account with its protocol, server, port, encryption ("encryption":
// "TLS", "STARTTLS", "None"), status and messages; a refused certificate as
// "certificate" {subject, issuer, notBefore, notAfter, sha256, reason}.
std::string formatCheckJson(const CheckOutcome& outcome);
// The readable form: an account without encryption is said to send its
// password unencrypted; a refused certificate is shown with its lines.
std::string formatCheckText(const CheckOutcome& outcome);

// Text from a server (a certificate's names, OpenSSL's reason) made safe for
// a terminal: kept as it is when it is UTF-8 without control characters,
// else escaped (escapeControl). CertificateInfo's names come escaped
// already; this is the last guard before a terminal, not a second escaping.
std::string terminalSafe(std::string_view text);

// 0 when every account finished with message rows, no row or "NOMSG"; 1
// otherwise and when there is no account.
int checkExitStatus(const CheckOutcome& outcome);

struct CheckRunLimits {
  std::chrono::milliseconds timeout{120000};
  std::chrono::milliseconds stopWait{15000};
};

// Runs one cycle over `accounts` and writes the outcome to `out`. Refused
// certificates are taken from the cycle's certificateObserver. When
// checkers are still alive after the stop wait, writes the outcome and ends
// the process with _exit (a cycle is never destroyed under a live thread).
// `factory` replaces the real checkers (tests).
int runCheck(const AccountList& accounts, bool displayMsgPreview, const CheckOptions& options,
             const CheckRunLimits& limits, std::ostream& out, std::ostream& err,
             std::unique_ptr<CheckerFactory> factory = nullptr);

// The program's store when it exists and can be read (loaded), else nothing
// and a line on `err`; a missing store is not created.
std::unique_ptr<FileRegistryStore> openExistingStore(std::ostream& err);

// The account list of the store, only read: a missing store is not created.
// False (and a line on `err`) when there is no store or it cannot be read;
// `settings`, when given, receives the saver's settings.
bool readStoredAccounts(AccountList& accounts, std::ostream& err, SaverSettings* settings = nullptr);

// The whole command: arguments after "--check", the store, the run.
// Returns the exit status (2 for a usage error).
int checkModeMain(const std::vector<std::string>& args);

}  // namespace brivane
