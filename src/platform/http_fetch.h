#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

// Fetching one small document over HTTP or HTTPS (the update manifest).
//
// The real fetcher runs libcurl's multi interface on the calling (worker)
// thread and waits in slices of at most 100 ms that test a stop flag, so a
// silent server or a connect that never completes is left within about
// 100 ms of the request to stop. It never uses a cached copy (Cache-Control
// and Pragma: no-cache), sends the agent "Brivane/<version>", gives up after
// 30 s to connect and 30 s in all, follows at most 5 redirects and only to
// http and https, counts an HTTP status of 400 or more as a failure, keeps
// at most 64 KiB (a longer document is cut there and the transfer ended),
// verifies certificates and host names for https, and takes proxies from
// the environment (http_proxy, https_proxy, all_proxy, no_proxy).
namespace brivane {

// Loads libcurl (libcurl.so.4) and sets it up; the first fetch does it
// itself, later calls do nothing. Safe from any thread.
void HttpGlobalInit();

struct HttpResult {
  bool ok = false;      // a document arrived (perhaps cut); false: `error` says why
  long status = 0;      // the last HTTP status seen, 0 when none
  std::string body;     // the document's first bytes, at most the kept maximum
  bool cut = false;     // the document was longer than what is kept
  std::string error;
};

// The seam the update check fetches through.
class HttpFetcher {
 public:
  virtual ~HttpFetcher() = default;
  // Fetches `url`; gives up with an error soon after `stop` becomes true.
  virtual HttpResult fetch(const std::string& url, const std::atomic<bool>& stop) = 0;
};

class CurlHttpFetcher : public HttpFetcher {
 public:
  struct Options {
    std::string userAgent;  // empty: "Brivane/" and the program version
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds totalTimeout{30000};
    long maxRedirects = 5;
    size_t maxBytes = 64 * 1024;
    std::chrono::milliseconds pollSlice{100};
  };

  CurlHttpFetcher() : CurlHttpFetcher(Options{}) {}
  explicit CurlHttpFetcher(Options options);
  HttpResult fetch(const std::string& url, const std::atomic<bool>& stop) override;

 private:
  Options options_;
};

}  // namespace brivane
