#include "app/check_mode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "common/messages.h"
#include "common/status_texts.h"
#include "common/status_words.h"
#include "common/text.h"
#include "common/time.h"
#include "platform/registry_file.h"
#include "protocols/ports.h"
#include "settings/accounts.h"
#include "settings/settings.h"

namespace brivane {

namespace {

using SteadyClock = std::chrono::steady_clock;

bool parseSeconds(const std::string& text, int& seconds) {
  if (text.empty() || text.size() > 7) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 86400) return false;
  seconds = value;
  return true;
}

// The text the message list shows for a status word, without mark-up and on
// one line; an unknown word as it is. `detailUsed` tells whether the text
// holds the row's detail (ERRCERT's reason), which is then not repeated.
std::string statusLine(const std::string& word, const std::string& server, const std::string& detail,
                       bool& detailUsed) {
  const std::optional<StatusText> text = statusText(word, server, terminalSafe(detail));
  detailUsed = text && text->detailUsed;
  if (!text) return word;
  return text->second ? text->first + *text->second : text->first;
}

// The encryption as the text form names it after the port.
std::string encryptionLabel(const TEmlAccount& account) {
  const Encryption mode = encryptionOf(account);
  return mode == Encryption::None ? "no encryption" : std::string(EncryptionName(mode));
}

// The refused certificates of a run, by account index: written on the
// checkers' threads, read once they have ended (or been given up on).
struct RefusedCertificates {
  std::mutex lock;
  std::map<int32_t, CertificateInfo> byAccount;  // guarded by lock
};

}  // namespace

std::string terminalSafe(std::string_view text) {
  bool plain = isValidUtf8(text);
  for (size_t i = 0; plain && i < text.size();) {
    size_t n = 0;
    const char32_t cp = decodeUtf8(text.substr(i), n);
    plain = n > 0 && !isControlChar(cp);
    i += n;
  }
  return plain ? std::string(text) : escapeControl(text);
}

std::optional<std::string> parseCheckArguments(const std::vector<std::string>& args, CheckOptions& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--timeout" || arg.starts_with("--timeout=")) {
      std::string value;
      if (arg == "--timeout") {
        if (i + 1 >= args.size()) return "--timeout needs a number of seconds";
        value = args[++i];
      } else {
        value = arg.substr(10);
      }
      if (!parseSeconds(value, options.timeoutSeconds))
        return "--timeout takes a whole number of seconds from 1 to 86400, not \"" + value + "\"";
    } else {
      return "unknown argument for --check: \"" + arg + "\"";
    }
  }
  return std::nullopt;
}

int effectivePort(const TEmlAccount& account) {
  if (!account.useTLS) return account.port;
  return implicitTlsPort(account.isPOP ? MailProtocol::Pop3 : MailProtocol::Imap, account.port);
}

std::optional<std::string> isoLocalTime(int64_t when) {
  if (when == 0) return std::nullopt;
  std::tm local{};
  if (!localTimeFields(when, local)) return std::nullopt;
  const std::string dateTime = formatTime(local, "%Y-%m-%dT%H:%M:%S");
  if (dateTime.empty()) return std::nullopt;
  const long offset = local.tm_gmtoff;
  const long off = offset < 0 ? -offset : offset;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', off / 3600 % 100, off / 60 % 60);
  return dateTime + zone;
}

std::string formatCheckJson(const CheckOutcome& outcome) {
  using json = nlohmann::ordered_json;  // keys in the documented order
  json accounts = json::array();
  for (const AccountOutcome& a : outcome.accounts) {
    json messages = json::array();
    for (const MessageSummary& row : a.messages) {
      const auto received = isoLocalTime(row.received);
      messages.push_back({{"folder", row.folder},
                          {"sender", row.sender},
                          {"subject", row.subject},
                          {"received", received ? json(*received) : json(nullptr)},
                          {"uid", row.messageUid},
                          {"preview", row.preview}});
    }
    const auto checkedAt = a.times ? isoLocalTime(a.times->latestEndMs / 1000) : std::nullopt;
    json entry = {{"index", a.index},
                        {"name", a.account.name},
                        {"protocol", a.account.isPOP ? "POP3" : "IMAP4"},
                        {"server", a.account.server},
                        {"port", a.port},
                        {"tls", a.account.useTLS},
                        {"encryption", EncryptionName(encryptionOf(a.account))},
                        {"finished", a.finished},
                        {"checkedAt", checkedAt ? json(*checkedAt) : json(nullptr)},
                        {"durationMs", a.times ? json(a.times->latestDurationMs) : json(nullptr)},
                        {"status", a.status ? json(*a.status) : json(nullptr)},
                        {"messages", std::move(messages)}};
    if (!a.statusDetail.empty()) entry["statusDetail"] = a.statusDetail;  // the server's words
    if (const auto& c = a.certificate)
      entry["certificate"] = {{"subject", c->subject}, {"issuer", c->issuer}, {"notBefore", c->notBefore},
                              {"notAfter", c->notAfter}, {"sha256", c->sha256}, {"reason", c->reason}};
    accounts.push_back(std::move(entry));
  }
  const json doc = {{"accounts", std::move(accounts)},
                    {"newMailArrived", outcome.newMailArrived},
                    {"hasMessages", outcome.hasMessages}};
  // Strings are UTF-8 by now; should one not be, it is repaired, never thrown on.
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string formatCheckText(const CheckOutcome& outcome) {
  std::ostringstream out;
  if (outcome.accounts.empty()) {
    out << "You have not set up any mailboxes to check\n";
    return out.str();
  }
  for (const AccountOutcome& a : outcome.accounts) {
    out << a.account.name << " (" << (a.account.isPOP ? "POP3" : "IMAP4") << ", " << a.account.server << ":"
        << a.port << ", " << encryptionLabel(a.account) << ")\n";
    if (encryptionOf(a.account) == Encryption::None)
      out << "  Warning: the password travels unencrypted (choose TLS or STARTTLS in the account's settings)\n";
    if (!a.finished) out << "  The check did not finish in time.\n";
    bool detailUsed = false;
    if (a.status) out << "  " << statusLine(*a.status, a.account.server, a.statusDetail, detailUsed) << "\n";
    if (a.status && !a.statusDetail.empty() && !detailUsed) out << "  " << a.statusDetail << "\n";
    if (a.certificate) {
      for (const std::string& line : certificateLines(*a.certificate)) out << "    " << terminalSafe(line) << "\n";
      out << "  To review it: brivane --certificate '#" << a.index << "'\n";
    }
    if (!a.status && a.messages.empty() && a.finished) out << "  No messages to show\n";
    std::string folder;
    bool firstRow = true;
    for (const MessageSummary& row : a.messages) {
      if (firstRow || row.folder != folder) {
        folder = row.folder;
        out << "  " << utf8Cut(folder, 100) << "\n";  // whole in the JSON, cut for reading
        firstRow = false;
      }
      const auto when = isoLocalTime(row.received);
      out << "    " << (when ? when->substr(0, 16).replace(10, 1, " ") : std::string("(no date)")) << "  "
          << (row.sender.empty() ? "(unknown sender)" : row.sender) << ": " << row.subject << "\n";
      if (!row.preview.empty()) out << "      " << row.preview << "\n";
    }
  }
  out << (outcome.newMailArrived ? "New mail has arrived.\n" : "No new mail since the last check.\n");
  return out.str();
}

int checkExitStatus(const CheckOutcome& outcome) {
  if (outcome.accounts.empty()) return 1;
  for (const AccountOutcome& a : outcome.accounts) {
    if (!a.finished) return 1;
    if (a.status && *a.status != status::kNoMsg) return 1;
  }
  return 0;
}

int runCheck(const AccountList& accounts, bool displayMsgPreview, const CheckOptions& options,
             const CheckRunLimits& limits, std::ostream& out, std::ostream& err,
             std::unique_ptr<CheckerFactory> factory) {
  MessageQueue queue;
  // Heap-held: when a thread outlives the stop wait the process ends with the
  // cycle still standing, never destroying it under a live thread.
  auto cycle = std::make_unique<CheckCycle>(queue, std::move(factory));
  cycle->Accounts = accounts;
  cycle->displayMsgPreview = displayMsgPreview;
  cycle->memory = std::make_shared<CheckMemory>(CheckMemory::checkModeStateFile());
  // Shared with the observer, which a checker given up on may still call.
  auto refused = std::make_shared<RefusedCertificates>();
  cycle->certificateObserver = [refused](int32_t index, const CertificateInfo& certificate) {
    std::lock_guard lock(refused->lock);
    refused->byAccount.insert_or_assign(index, certificate);
  };

  std::vector<bool> finished(accounts.size(), false);
  if (!accounts.empty()) cycle->StartCheckCycle();
  const auto deadline = SteadyClock::now() + limits.timeout;
  while (cycle->liveCheckers() > 0) {
    const auto m = queue.waitNext(deadline);
    if (!m) break;
    if (CheckerThread* checker = cycle->checkerAt(m->message, m->wParam)) {
      const auto index = static_cast<size_t>(checker->accountIndex);
      if (index < finished.size()) finished[index] = true;
    }
    cycle->onDone(m->message, m->wParam);
  }
  if (cycle->liveCheckers() > 0) {
    err << "brivane: the check did not finish within " << options.timeoutSeconds
        << " seconds; stopping the checkers\n";
    cycle->requestStopAll();
    const auto stopDeadline = SteadyClock::now() + limits.stopWait;
    while (cycle->liveCheckers() > 0) {
      const auto m = queue.waitNext(stopDeadline);
      if (!m) break;
      cycle->onDone(m->message, m->wParam);
    }
  }

  CheckOutcome outcome;
  outcome.newMailArrived = cycle->newMailArrived.load() != 0;
  outcome.hasMessages = cycle->hasMessages.load() != 0;
  const std::vector<MessageSummary> rows = cycle->readResults([](const auto& list) { return list; });
  std::map<int32_t, CertificateInfo> certificates;
  {
    std::lock_guard lock(refused->lock);
    certificates = refused->byAccount;
  }
  std::vector<CheckTimes> times;
  {
    std::lock_guard lock(cycle->resultLock);
    times = cycle->checkTimes;
  }
  for (size_t i = 0; i < accounts.size(); ++i) {
    AccountOutcome a;
    a.index = static_cast<int>(i);
    a.account = accounts[i];
    a.account.password.clear();
    a.port = effectivePort(accounts[i]);
    a.finished = finished[i];
    for (const MessageSummary& row : rows) {
      if (row.accountIndex != a.index) continue;
      if (row.isStatus()) {
        a.status = row.subject;
        a.statusDetail = row.preview;
      } else
        a.messages.push_back(row);
    }
    if (const auto it = certificates.find(a.index); it != certificates.end()) a.certificate = it->second;
    if (i < times.size() && times[i].latestEndMs != 0) a.times = times[i];
    outcome.accounts.push_back(std::move(a));
  }
  const int code = checkExitStatus(outcome);
  out << (options.json ? formatCheckJson(outcome) : formatCheckText(outcome));
  out.flush();
  if (cycle->liveCheckers() > 0) {
    err << "brivane: some checkers did not stop; ending the process\n";
    err.flush();
    std::fflush(nullptr);
    ::_exit(code);
  }
  return code;
}

}  // namespace brivane

namespace brivane {

std::unique_ptr<FileRegistryStore> openExistingStore(std::ostream& err) {
  // load() would create a missing file: it is looked for first.
  const std::string path = FileRegistryStore::defaultPath();
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    err << "brivane: no settings store at " << (path.empty() ? "(no home folder known)" : path) << "\n";
    return nullptr;
  }
  auto store = std::make_unique<FileRegistryStore>(path);
  if (!store->load()) {
    err << "brivane: cannot read the settings store " << path << ": " << store->lastError() << "\n";
    return nullptr;
  }
  return store;
}

bool readStoredAccounts(AccountList& accounts, std::ostream& err, SaverSettings* settings) {
  // The store is only read, never written.
  accounts.clear();
  const std::unique_ptr<FileRegistryStore> store = openExistingStore(err);
  if (!store) return false;
  SaverSettings loaded;
  TColor color{};
  int32_t panelWidth = 0;
  LoadSettings(*store, loaded, color, panelWidth, accounts);
  if (settings != nullptr) *settings = loaded;
  return true;
}

int checkModeMain(const std::vector<std::string>& args) {
  CheckOptions options;
  if (const auto error = parseCheckArguments(args, options)) {
    std::cerr << "brivane: " << *error << "\n"
              << "usage: brivane --check [--json] [--timeout SECONDS]\n";
    return 2;
  }
  AccountList accounts;
  SaverSettings settings;
  readStoredAccounts(accounts, std::cerr, &settings);
  CheckRunLimits limits;
  limits.timeout = std::chrono::seconds(options.timeoutSeconds);
  return runCheck(accounts, settings.displayMsgPreview, options, limits, std::cout, std::cerr);
}

}  // namespace brivane
