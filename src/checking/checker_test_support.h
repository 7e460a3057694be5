#pragma once
// Test helpers: runs real checkers through a CheckCycle and reads back the
// rows, the flags, the account's run-time fields and the connection log.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"

namespace brivane::testing {

// The fake servers' logins: user "ann", password "secret", no capabilities.
inline constexpr const char* kImapLoggedIn =
    "S: * OK ready\nC: C1 LOGIN ann secret\nS: C1 OK done\n"
    "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\n"
    "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK done\n";
inline constexpr const char* kPopLoggedIn =
    "S: +OK ready <1.2@x>\nC: CAPA\nS: -ERR no capabilities\nC: USER ann\nS: +OK\nC: PASS secret\nS: +OK logged in\n";

struct CheckRun {
  std::vector<MessageSummary> rows;
  std::vector<std::string> log;  // each line's text after date-time and name
  TEmlAccount account;           // the saver's record after collection
  bool newMailArrived = false;
  bool hasMessages = false;
  bool posted = false;  // the done message arrived
  // Every publication of the account: its status row's code word or "<n rows>".
  std::vector<std::string> published;
};

// A private log folder per test.
inline std::string testLogFolder() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const auto dir = std::filesystem::temp_directory_path() /
                   ("brivane_chk_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
  std::filesystem::create_directories(dir);
  return dir.string() + "/";
}

// The step texts of a connection log: what follows "date time name".
inline std::vector<std::string> logSteps(const std::string& folder, const std::string& name) {
  std::ifstream in(folder + connectionLogFileName(name), std::ios::binary);
  std::vector<std::string> steps;
  const std::string prefix = " " + name;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t at = line.find(prefix, 19);  // after "YYYY-MM-DD HH:MM:SS"
    steps.push_back(at == std::string::npos ? "?" + line : line.substr(at + prefix.size()));
  }
  return steps;
}

// The rows of account `index` in the cycle's result list.
inline std::vector<MessageSummary> rowsOf(CheckCycle& cycle, int index) {
  return cycle.readResults([index](const auto& list) {
    std::vector<MessageSummary> out;
    for (const auto& r : list)
      if (r.accountIndex == index) out.push_back(r);
    return out;
  });
}

// Runs one cycle over `accounts` with the real checkers; returns the run of
// account `which`. `whileRunning` is called once the cycle has started.
template <class Fn>
CheckRun runCycle(AccountList accounts, size_t which, bool preview, Fn whileRunning,
                  std::chrono::milliseconds limit = std::chrono::seconds(20),
                  const std::function<void(CheckCycle&)>& configure = {}) {
  const std::string folder = testLogFolder();
  MessageQueue queue;
  CheckCycle cycle(queue);
  cycle.logDirectory = [folder](std::string& out) {
    out = folder;
    return true;
  };
  for (const auto& a : accounts) std::filesystem::remove(folder + connectionLogFileName(a.name));
  cycle.Accounts = std::move(accounts);
  cycle.displayMsgPreview = preview;
  if (configure) configure(cycle);
  CheckRun run;
  cycle.publishObserver = [&run, which](int32_t index, const std::vector<MessageSummary>& rows) {
    if (index != static_cast<int32_t>(which)) return;
    const bool status = rows.size() == 1 && rows[0].isStatus();
    run.published.push_back(status ? rows[0].subject : "<" + std::to_string(rows.size()) + " rows>");
  };
  EXPECT_TRUE(cycle.StartCheckCycle());
  whileRunning(cycle);
  const auto deadline = CheckCycle::Clock::now() + limit;
  while (cycle.liveCheckers() > 0) {
    auto m = queue.waitNext(deadline);
    if (!m) break;
    cycle.onDone(m->message, m->wParam);
  }
  run.posted = cycle.liveCheckers() == 0;
  EXPECT_TRUE(run.posted) << "a checker did not post its done message";
  if (!run.posted) {
    cycle.requestStopAll();
    cycle.waitAll(CheckCycle::Clock::now() + std::chrono::seconds(5));
  }
  run.rows = rowsOf(cycle, static_cast<int>(which));
  run.log = logSteps(folder, cycle.Accounts[which].name);
  run.account = cycle.Accounts[which];
  run.newMailArrived = cycle.newMailArrived.load() != 0;
  run.hasMessages = cycle.hasMessages.load() != 0;
  std::filesystem::remove_all(folder);
  return run;
}

// An account on the fake server: 127.0.0.1, user "ann", password "secret".
inline TEmlAccount loopbackAccount(const std::string& name, bool pop, int port,
                                   std::vector<std::string> folders = {}) {
  TEmlAccount a;
  a.name = name;
  a.isPOP = pop;
  a.server = "127.0.0.1";
  a.username = "ann";
  a.password = "secret";
  a.port = port;
  a.folders = std::move(folders);
  return a;
}

inline CheckRun runOne(const TEmlAccount& account, bool preview = false) {
  return runCycle({account}, 0, preview, [](CheckCycle&) {});
}

// A loopback port with nothing listening on it: a connection is refused.
// The socket stays bound (never listening) until the test process ends, so
// no listener of a test running beside this one can be given the port.
inline int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "no loopback port to hold";
    return 1;
  }
  return ntohs(addr.sin_port);
}

inline std::vector<std::string> subjectsOf(const std::vector<MessageSummary>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.subject);
  return out;
}

// Each row as "folder|sender|subject|uid|received|preview".
inline std::vector<std::string> rowsText(const std::vector<MessageSummary>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows)
    out.push_back(r.folder + "|" + r.sender + "|" + r.subject + "|" + r.messageUid + "|" +
                  std::to_string(r.received) + "|" + r.preview);
  return out;
}

// Escapes bytes for an "R:" step of a fake-server script.
inline std::string rawStep(const std::string& bytes) {
  std::string out = "R: ";
  for (unsigned char c : bytes) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += c == '\\' ? "\\\\" : (c < 0x20 || c >= 0x7F) ? buf : std::string(1, static_cast<char>(c));
  }
  return out + "\n";
}

}  // namespace brivane::testing
