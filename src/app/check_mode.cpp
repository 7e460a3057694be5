#include "app/check_mode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <iostream>
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
// one line; an unknown word as it is.
std::string statusLine(const std::string& word, const std::string& server) {
  const std::optional<StatusText> text = statusText(word, server);
  if (!text) return word;
  return text->second ? text->first + *text->second : text->first;
}

}  // namespace

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
    json entry = {{"index", a.index},
                        {"name", a.account.name},
                        {"protocol", a.account.isPOP ? "POP3" : "IMAP4"},
                        {"server", a.account.server},
                        {"port", a.port},
                        {"tls", a.account.useTLS},
                        {"finished", a.finished},
                        {"status", a.status ? json(*a.status) : json(nullptr)},
                        {"messages", std::move(messages)}};
    if (!a.statusDetail.empty()) entry["statusDetail"] = a.statusDetail;  // the server's words
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
        << a.port << (a.account.useTLS ? ", TLS" : "") << ")\n";
    if (!a.finished) out << "  The check did not finish in time.\n";
    if (a.status) out << "  " << statusLine(*a.status, a.account.server) << "\n";
    if (a.status && !a.statusDetail.empty()) out << "  " << a.statusDetail << "\n";
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

int checkModeMain(const std::vector<std::string>& args) {
  CheckOptions options;
  if (const auto error = parseCheckArguments(args, options)) {
    std::cerr << "brivane: " << *error << "\n"
              << "usage: brivane --check [--json] [--timeout SECONDS]\n";
    return 2;
  }
  // The store is only read: a missing file is not created, an existing one
  // never written.
  AccountList accounts;
  SaverSettings settings;
  const std::string path = FileRegistryStore::defaultPath();
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    FileRegistryStore store(path);
    if (store.load()) {
      TColor color{};
      int32_t panelWidth = 0;
      LoadSettings(store, settings, color, panelWidth, accounts);
    } else {
      std::cerr << "brivane: cannot read the settings store " << path << ": " << store.lastError() << "\n";
    }
  } else {
    std::cerr << "brivane: no settings store at " << path << "\n";
  }
  CheckRunLimits limits;
  limits.timeout = std::chrono::seconds(options.timeoutSeconds);
  return runCheck(accounts, settings.displayMsgPreview, options, limits, std::cout, std::cerr);
}

}  // namespace brivane
