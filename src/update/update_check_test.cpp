#include "update/update_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <thread>

#include "common/messages.h"
#include "fake_server.h"
#include "update/update_addresses.h"
#include "update/update_check_starter.h"

namespace brivane {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Only a higher version of four numbers is newer; the manifest's first
// version pair counts.
TEST(UpdateVersion, OnlyAHigherVersionOfFourNumbersIsNewerAndTheFirstPairCounts) {
  const std::tuple<const char*, ProgramVersion, bool> cases[] = {
      {"1.5.0.4", {1, 5, 0, 4}, false},      // equal: up to date
      {"1.10.0.0", {1, 9, 0, 0}, true},      // numbers, not text
      {"2.0.0.0", {1, 9, 9, 9}, true},       // the major number decides alone
      {"1.4.65535.65535", {1, 5, 0, 0}, false},
      {"1.5.0.5", {1, 5, 0, 4}, true},
      {"1.6.0", {1, 5, 0, 0}, false},        // not four numbers
      {"1.6.0.0.0", {1, 5, 0, 0}, false},
      {"1.65536.0.0", {1, 5, 0, 0}, false},  // a number above 65535
      {"v2.0.0.0", {1, 5, 0, 0}, false},
      {"", {0, 0, 0, 0}, false},
  };
  for (const auto& [latest, program, newer] : cases) EXPECT_EQ(isNewerVersion(latest, program), newer) << latest;
  const std::pair<const char*, const char*> manifests[] = {
      {"<Update><LatestVersion>1.2.3.4</LatestVersion></Update>", "1.2.3.4"},
      {"<latestversion>1.2.3.4</latestversion>", "1.2.3.4"},
      {"<LATESTversion>2.0.0.0</LatestVERSION>", "2.0.0.0"},
      {"<LatestVersion>1.0.0.1</LatestVersion><LatestVersion>9.0.0.0</LatestVersion>", "1.0.0.1"},
      {"<LatestVersion>1.2.3.4", ""},                         // no closing tag
      {"1.2.3.4</LatestVersion>", ""},                        // no opening tag
      {"<LatestVersion> 1.2.3.4 </LatestVersion>", ""},
      {"<LatestVersion><b>9.9.9.9</b></LatestVersion>", ""},  // mark-up is not a version
      {"<LatestVersion>1.2.3.99999</LatestVersion>", ""},
      {"", ""},
  };
  for (auto [document, latest] : manifests) EXPECT_EQ(latestVersionIn(document), latest) << document;
}

// Records each posted message with the time it came.
struct Recorder : MessageTarget {
  void post(uint32_t message, uintptr_t) override {
    std::lock_guard lock(mutex);
    all.emplace_back(message, Clock::now());
  }
  std::vector<std::pair<uint32_t, Clock::time_point>> posts() {
    std::lock_guard lock(mutex);
    return all;
  }
  std::mutex mutex;
  std::vector<std::pair<uint32_t, Clock::time_point>> all;
};

struct FakeFetcher : HttpFetcher {
  HttpResult result{.ok = true, .body = "<LatestVersion>3.1.4.1</LatestVersion>", .error = {}};
  std::atomic<int> calls{0};
  HttpResult fetch(const std::string&, const std::atomic<bool>&) override {
    ++calls;
    return result;
  }
};

// The done message comes once in every case; only a fetched document counts,
// and without an address no request is made.
TEST(UpdateCheck, MessageIsPostedOnceInEveryCaseAndOnlyADocumentCounts) {
  const std::tuple<const char*, bool, int, const char*> cases[] = {
      {"http://u", true, 1, "3.1.4.1"}, {"http://u", false, 1, ""}, {"", true, 0, ""}};
  for (const auto& [url, ok, calls, latest] : cases) {
    SCOPED_TRACE(std::string(url) + (ok ? " ok" : " failed"));
    FakeFetcher fetcher;
    fetcher.result.ok = ok;
    Recorder target;
    TUpdateCheck check(fetcher, url, target);
    ASSERT_TRUE(check.start());
    check.join();
    ASSERT_EQ(target.posts().size(), 1u);
    EXPECT_EQ(target.posts()[0].first, WM_UPDATECHECKDONE);
    EXPECT_EQ(std::tuple(fetcher.calls.load(), check.latestVersion()), std::tuple(calls, std::string(latest)));
  }
}

// A loopback listener whose accept queue is full: a further connect to it
// stays unanswered (its SYNs are dropped).
struct FullBacklog {
  FullBacklog() {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    bind(fds.at(0), reinterpret_cast<sockaddr*>(&addr), len);
    listen(fds[0], 0);
    getsockname(fds[0], reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    for (int i = 0; i < 16 && !full; ++i) {
      fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      connect(fds.back(), reinterpret_cast<sockaddr*>(&addr), len);
      pollfd p{fds.back(), POLLOUT, 0};
      full = poll(&p, 1, 100) == 0;  // this one is still connecting
    }
  }
  ~FullBacklog() {
    for (int fd : fds) close(fd);
  }
  std::vector<int> fds{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};  // the listener first
  int port = 0;
  bool full = false;
};

TEST(UpdateCheck, StopEndsASilentServerOrAHangingConnectWithin250ms) {
  for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
  HttpGlobalInit();
  test::LoopbackServer silent("STALL\n");
  FullBacklog backlog;
  ASSERT_TRUE(backlog.full);
  for (int port : {silent.port(), backlog.port}) {
    SCOPED_TRACE(port);
    CurlHttpFetcher fetcher;
    Recorder target;
    TUpdateCheck check(fetcher, "http://127.0.0.1:" + std::to_string(port) + "/m.xml", target);
    ASSERT_TRUE(check.start());
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(target.posts().empty());  // still waiting for the server
    const auto asked = Clock::now();
    check.requestStop();
    ASSERT_TRUE(check.waitFor(asked + 5s));
    ASSERT_EQ(target.posts().size(), 1u);
    EXPECT_LT(target.posts()[0].second - asked, 250ms);
    EXPECT_EQ(check.latestVersion(), "");
  }
}

// The starter checks the manifest address and reports its version; it opens
// the download page only for a web address.
TEST(UpdateCheckStarter, ChecksTheManifestAndOpensOnlyWebAddresses) {
  FakeFetcher fetcher;
  Recorder target;
  UpdateCheckStarter checker({"http://u", ""}, fetcher, nullptr);
  checker.start(target);
  ASSERT_TRUE(checker.waitFor(Clock::now() + 5s));
  EXPECT_EQ(std::tuple(target.posts().size(), checker.latestVersion()), std::tuple(size_t(1), std::string("3.1.4.1")));
  const std::pair<const char*, bool> cases[] = {
      {"https://example.org/download", true}, {"HTTP://example.org/", true}, {"", false},
      {"file:///usr/bin/xterm", false}, {"https://", false}, {"https://example.org/a b\n", false}};
  for (auto [address, opens] : cases) {
    std::vector<std::string> opened;
    UpdateCheckStarter({"", address}, fetcher, [&](const std::string& a) { opened.push_back(a); }).openDownloadPage();
    EXPECT_EQ(opened, opens ? std::vector<std::string>{address} : std::vector<std::string>{}) << address;
  }
}

// Set variables replace the built-in addresses; an empty one turns the check off.
TEST(UpdateAddresses, EnvironmentOverridesTheBuiltInAddresses) {
  const auto lookup = [](std::map<std::string, std::string> env) {
    return [env](const char* name) -> const char* {
      const auto it = env.find(name);
      return it == env.end() ? nullptr : it->second.c_str();
    };
  };
  const UpdateAddresses builtIn = updateAddresses(lookup({}));
  const UpdateAddresses set =
      updateAddresses(lookup({{"BRIVANE_UPDATE_URL", "http://m/x.xml"}, {"BRIVANE_DOWNLOAD_URL", "https://d/"}}));
  EXPECT_EQ(std::tuple(set.manifest, set.download), std::tuple(std::string("http://m/x.xml"), std::string("https://d/")));
  const UpdateAddresses cleared = updateAddresses(lookup({{"BRIVANE_UPDATE_URL", ""}}));
  EXPECT_EQ(std::tuple(cleared.manifest, cleared.download), std::tuple(std::string(), builtIn.download));
}

}  // namespace
}  // namespace brivane
