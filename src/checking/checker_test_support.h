#pragma once
// Test helpers: runs real checkers through a CheckCycle against the scripted
// fake server and reads back the rows, the flags, the account's run-time
// fields and the connection log.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "fake_server.h"
#include "temp_dir.h"

namespace brivane::testing {

// The fake servers' logins: user "ann", password "secret", no capabilities.
inline constexpr const char* kImapLoggedIn =
    "S: * OK [CAPABILITY IMAP4rev1] ready\nC: C1 LOGIN ann secret\nS: C1 OK done\n"
    "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\n"
    "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK done\n";
inline constexpr const char* kImapLoginRefused =
    "S: * OK [CAPABILITY IMAP4rev1] ready\nC: C1 LOGIN ann secret\nS: C1 NO [AUTHENTICATIONFAILED] no\nC: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\n"
    "S: C2 OK done\nC: C3 LOGOUT\nS: * BYE\nS: C3 OK done\nX\n";
inline constexpr const char* kPopLoggedIn =
    "S: +OK ready <1.2@x>\nC: CAPA\nS: -ERR no capabilities\nC: USER ann\nS: +OK\nC: PASS secret\nS: +OK logged in\n";

struct CheckRun {
  std::vector<MessageSummary> rows;
  std::vector<std::string> log;  // each line's text after date-time and name
  TEmlAccount account;           // the saver's record after collection
  bool newMailArrived = false, hasMessages = false;
  bool posted = false;  // the done message arrived
  // Every publication of the account: its status row's code word or "<n rows>".
  std::vector<std::string> published;
};

// The step texts of a connection log: what follows "date time name".
inline std::vector<std::string> logSteps(const std::string& folder, const std::string& name) {
  std::ifstream in(folder + "/" + connectionLogFileName(name), std::ios::binary);
  std::vector<std::string> steps;
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();
    const size_t at = line.find(" " + name, 19);  // after "YYYY-MM-DD HH:MM:SS"
    steps.push_back(at == std::string::npos ? "?" + line : line.substr(at + name.size() + 1));
  }
  return steps;
}

inline std::vector<MessageSummary> rowsOf(CheckCycle& cycle, int index) {
  return cycle.readResults([index](const auto& list) {
    std::vector<MessageSummary> out;
    for (const auto& r : list)
      if (r.accountIndex == index) out.push_back(r);
    return out;
  });
}

using CycleHook = std::function<void(CheckCycle&)>;

// A cycle (with the real checkers unless given others) logging into a private folder.
struct CycleRig {
  test::TempDir dir{"brivane-chk"};
  MessageQueue queue;
  CheckCycle cycle;
  explicit CycleRig(std::unique_ptr<CheckerFactory> factory = nullptr) : cycle(queue, std::move(factory)) {
    cycle.logDirectory = [this](std::string& out) { return out = dir.path() + "/", true; };
  }
  ~CycleRig() {
    cycle.requestStopAll();
    cycle.waitAll(CheckCycle::Clock::now() + std::chrono::seconds(5));
  }
  // Starts a cycle, calls `whileRunning`, collects every done message;
  // false when a checker did not post its done message in time.
  bool run(const CycleHook& whileRunning = {}) {
    EXPECT_TRUE(cycle.StartCheckCycle());
    if (whileRunning) whileRunning(cycle);
    const auto deadline = CheckCycle::Clock::now() + std::chrono::seconds(20);
    while (cycle.liveCheckers() > 0) {
      auto m = queue.waitNext(deadline);
      if (!m) break;
      cycle.onDone(m->message, m->wParam);
    }
    EXPECT_EQ(cycle.liveCheckers(), 0u) << "a checker did not post its done message";
    return cycle.liveCheckers() == 0;
  }
};

// Checks `account` alone: `configure` runs before the start, `whileRunning` after it.
inline CheckRun runOne(const TEmlAccount& account, bool preview = false, const CycleHook& configure = {},
                       const CycleHook& whileRunning = {}) {
  CycleRig rig;
  rig.cycle.Accounts = {account};
  rig.cycle.displayMsgPreview = preview;
  if (configure) configure(rig.cycle);
  CheckRun run;
  rig.cycle.publishObserver = [&run](int32_t, const std::vector<MessageSummary>& rows) {
    const bool status = rows.size() == 1 && rows[0].isStatus();
    run.published.push_back(status ? rows[0].subject : "<" + std::to_string(rows.size()) + " rows>");
  };
  run.posted = rig.run(whileRunning);
  run.rows = rowsOf(rig.cycle, 0);
  run.log = logSteps(rig.dir.path(), account.name);
  run.account = rig.cycle.Accounts[0];
  run.newMailArrived = rig.cycle.newMailArrived.load(), run.hasMessages = rig.cycle.hasMessages.load();
  return run;
}

// An account on the fake server: 127.0.0.1, user "ann", password "secret".
inline TEmlAccount loopbackAccount(const std::string& name, bool pop, int port, std::vector<std::string> folders = {}) {
  return {.name = name, .isPOP = pop, .username = "ann", .password = "secret", .server = "127.0.0.1", .port = port,
          .folders = std::move(folders)};
}

// A loopback port nothing listens on: a connection is refused. The socket stays bound (never listening)
// until the test process ends, so no listener of a test running beside this one can be given the port.
inline int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t len = sizeof addr;
  const bool held = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  EXPECT_TRUE(held) << "no loopback port to hold";
  return held ? ntohs(addr.sin_port) : 1;
}

// Calls use(port) while a loopback fake server plays `script` (empty: nothing listens on the port), with TLS
// from the first byte when `tls`. When `strict`, a command the client adds (a STORE, a RETR) fails the test.
template <class Fn>
auto withServer(const std::string& script, Fn use, bool strict = true, int finishMs = 5000, bool tls = false) {
  std::optional<test::LoopbackServer> server;
  if (!script.empty()) server.emplace(script, test::LoopbackServer::Options{.tls = tls});
  auto result = use(server ? server->port() : closedPort());
  if (server) server->finish(finishMs);
  if (server && strict) {
    EXPECT_TRUE(server->errors().empty()) << ::testing::PrintToString(server->errors());
  }
  return result;
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

}  // namespace brivane::testing
