#include "platform/http_fetch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cstdlib>

#include "fake_server.h"

namespace brivane {
namespace {

using test::LoopbackServer;
using ::testing::HasSubstr;

// Reads one request (seven lines: request line, five headers, blank line),
// then answers with `status` and `body` (script lines) and closes.
std::string answer(const std::string& status, const std::string& headers, const std::string& body = "") {
  return "C~ GET\nC?\nC?\nC?\nC?\nC?\nC?\nS: HTTP/1.1 " + status + "\n" + headers + "S: \n" + body + "X\n";
}

std::string url(const LoopbackServer& s, const std::string& path, const char* scheme = "http") {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(s.port()) + path;
}

class HttpFetch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Loopback servers only: no proxy from the machine's environment.
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
    HttpGlobalInit();
  }
  HttpResult fetch(const std::string& address) { return CurlHttpFetcher().fetch(address, stop_); }
  std::atomic<bool> stop_{false};
};

TEST_F(HttpFetch, DocumentsArriveWholeOrCutAndErrorStatusesFail) {
  struct Case { std::string name, status, headers, body; bool ok; size_t size; std::string error = ""; };
  const Case cases[] = {
      {"manifest", "200 OK", "S: Content-Length: 35\n", "R: <LatestVersion>1.2.3.4</LatestVersion>\n", true, 35},
      {"empty", "200 OK", "S: Content-Length: 0\n", "", true, 0},
      {"not found", "404 Not Found", "S: Content-Length: 9\n", "R: not found\n", false, 0, "404"},
      {"10 MB", "200 OK", "S: Content-Length: 10485760\n", "FILL: 10485760\n", true, 65536},
      {"redirect to ftp", "302 Found", "S: Location: ftp://127.0.0.1/m.xml\nS: Content-Length: 0\n", "", false, 0,
       "\"ftp\" not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(answer(c.status, c.headers, c.body));
    const HttpResult r = fetch(url(server, "/m.xml"));
    server.finish();
    EXPECT_EQ(std::tuple(r.ok, r.body.size(), r.cut), std::tuple(c.ok, c.size, c.size == 65536)) << r.error;
    EXPECT_THAT(r.error, HasSubstr(c.error));
  }
}

// The request asks for a fresh copy with the program's agent, and a redirect is followed.
TEST_F(HttpFetch, RequestAsksForAFreshCopyAndFollowsARedirect) {
  LoopbackServer target(answer("200 OK", "S: Content-Length: 5\n", "R: moved\n"));
  LoopbackServer first(answer("301 Moved", "S: Location: " + url(target, "/new.xml") + "\nS: Content-Length: 0\n"));
  const HttpResult r = fetch(url(first, "/m.xml?a=1"));
  EXPECT_EQ(r.body, "moved") << r.error;
  first.finish();
  EXPECT_THAT(first.transcript(), ::testing::IsSupersetOf({"C: GET /m.xml?a=1 HTTP/1.1", "C: Pragma: no-cache",
                                                            "C: User-Agent: Brivane/1.0.0.0",
                                                            "C: Cache-Control: no-cache"}));
}

// Only web addresses are fetched, and a certificate that is not trusted is refused.
TEST_F(HttpFetch, RefusedFetchesFailWithTheirReason) {
  LoopbackServer tls(answer("200 OK", "S: Content-Length: 2\n", "R: ok\n"), {.tls = true, .acceptTimeoutMs = 5000});
  for (const auto& [address, reason] : {std::pair(url(tls, "/m.xml", "https"), "certificate"),
                                        std::pair(std::string("file:///etc/passwd"), "")}) {
    const HttpResult r = fetch(address);
    EXPECT_FALSE(r.ok || !r.body.empty() || r.error.empty()) << address;
    EXPECT_THAT(r.error, HasSubstr(reason));
  }
}

}  // namespace
}  // namespace brivane
