#include "update/update_check.h"

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
      {"1.5.0.4", {1, 5, 0, 4}, false}, {"1.10.0.0", {1, 9, 0, 0}, true}, {"2.0.0.0", {1, 9, 9, 9}, true},
      {"1.4.65535.65535", {1, 5, 0, 0}, false}, {"1.5.0.5", {1, 5, 0, 4}, true}, {"1.6.0", {1, 5, 0, 0}, false},
      {"1.6.0.0.0", {1, 5, 0, 0}, false}, {"1.65536.0.0", {1, 5, 0, 0}, false}, {"v2.0.0.0", {1, 5, 0, 0}, false},
      {"", {0, 0, 0, 0}, false}};
  for (const auto& [latest, program, newer] : cases) EXPECT_EQ(isNewerVersion(latest, program), newer) << latest;
  const std::pair<const char*, const char*> manifests[] = {
      {"<Update><LatestVersion>1.2.3.4</LatestVersion></Update>", "1.2.3.4"},
      {"<LATESTversion>2.0.0.0</LatestVERSION>", "2.0.0.0"},
      {"<LatestVersion>1.0.0.1</LatestVersion><LatestVersion>9.0.0.0</LatestVersion>", "1.0.0.1"},
      {"<LatestVersion>1.2.3.4", ""}, {"1.2.3.4</LatestVersion>", ""}, {"<LatestVersion> 1.2.3.4 </LatestVersion>", ""},
      {"<LatestVersion><b>9.9.9.9</b></LatestVersion>", ""}, {"<LatestVersion>1.2.3.99999</LatestVersion>", ""}};
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
// and without an address no request is made. A stop ends a fetch from a
// silent server at once.
TEST(UpdateCheck, MessagePostedOnceOnlyADocumentCountsAndStopIsPrompt) {
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
    EXPECT_EQ(std::tuple(target.posts()[0].first, fetcher.calls.load(), check.latestVersion()),
              std::tuple(uint32_t(WM_UPDATECHECKDONE), calls, std::string(latest)));
  }
  for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
  test::LoopbackServer silent("STALL\n");
  CurlHttpFetcher fetcher;
  Recorder target;
  TUpdateCheck check(fetcher, "http://127.0.0.1:" + std::to_string(silent.port()) + "/m.xml", target);
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

// The starter checks the manifest address and reports its version; it opens
// the download page only for a web address. Set variables replace the
// built-in addresses; an empty one turns the check off.
TEST(UpdateCheckStarter, ChecksTheManifestOpensOnlyWebAddressesAndTheEnvironmentOverrides) {
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
  std::map<std::string, std::string> env;
  const auto lookup = [&env](const char* name) -> const char* {
    return env.contains(name) ? env.at(name).c_str() : nullptr;
  };
  const UpdateAddresses builtIn = updateAddresses(lookup);
  env = {{"BRIVANE_UPDATE_URL", "http://m/x.xml"}, {"BRIVANE_DOWNLOAD_URL", "https://d/"}};
  const UpdateAddresses set = updateAddresses(lookup);
  EXPECT_EQ(set.manifest + " " + set.download, "http://m/x.xml https://d/");
  env = {{"BRIVANE_UPDATE_URL", ""}};
  const UpdateAddresses cleared = updateAddresses(lookup);
  EXPECT_EQ(std::tuple(cleared.manifest, cleared.download), std::tuple(std::string(), builtIn.download));
}

}  // namespace
}  // namespace brivane
