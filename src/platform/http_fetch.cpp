#include "platform/http_fetch.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "common/version.h"

namespace brivane {
namespace {

struct Sink {
  std::string* body;
  size_t max;
  bool cut = false;
};

// Keeps at most `max` bytes; the first byte beyond ends the transfer (the
// short count makes libcurl stop with CURLE_WRITE_ERROR, read as a cut).
size_t keep(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  const size_t room = sink->max - sink->body->size();
  if (n <= room) {
    sink->body->append(data, n);
    return n;
  }
  sink->body->append(data, room);
  sink->cut = true;
  return room;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

void HttpGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlHttpFetcher::CurlHttpFetcher(Options options) : options_(std::move(options)) {
  if (options_.userAgent.empty()) options_.userAgent = "Brivane/" + versionText(programVersion());
}

HttpResult CurlHttpFetcher::fetch(const std::string& url, const std::atomic<bool>& stop) {
  HttpResult result;
  HttpGlobalInit();  // a no-op after main's call; keeps tests and tools safe
  // What the handles point to is declared first, so that it outlives them.
  char errorText[CURL_ERROR_SIZE] = "";
  Sink sink{&result.body, options_.maxBytes};
  std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
  if (headers) {
    curl_slist* more = curl_slist_append(headers.get(), "Pragma: no-cache");
    if (more == nullptr) headers.reset();
  }
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy || !multi || !headers) {
    result.error = "the HTTP library could not be set up";
    return result;
  }
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // A stop never waits for a host-name lookup: a lookup still running when
  // the handle is removed is left to end on its own, its answer dropped.
  curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, options_.maxRedirects);
  curl_easy_setopt(h, CURLOPT_USERAGENT, options_.userAgent.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.totalTimeout.count()));
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, keep);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) {
    result.error = "the HTTP library could not start the transfer";
    return result;
  }

  const int slice = static_cast<int>(options_.pollSlice.count());
  int running = 1;
  CURLcode code = CURLE_OK;
  while (running > 0) {
    if (stop.load(std::memory_order_acquire)) {
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    CURLMcode mc = curl_multi_perform(multi.get(), &running);
    if (mc == CURLM_OK && running > 0) mc = curl_multi_poll(multi.get(), nullptr, 0, slice, nullptr);
    if (mc != CURLM_OK) {
      result.error = curl_multi_strerror(mc);
      curl_multi_remove_handle(multi.get(), h);
      return result;
    }
  }
  if (code == CURLE_OK) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) code = msg->data.result;
    }
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
  curl_multi_remove_handle(multi.get(), h);

  result.cut = sink.cut;
  if (code == CURLE_ABORTED_BY_CALLBACK) {
    result.error = "stopped";
  } else if (code == CURLE_WRITE_ERROR && sink.cut) {
    code = CURLE_OK;  // the kept part is the document
  } else if (code != CURLE_OK) {
    result.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
  }
  if (code == CURLE_OK && result.status >= 400) result.error = "HTTP status " + std::to_string(result.status);
  result.ok = code == CURLE_OK && result.status < 400;
  if (!result.ok) result.body.clear();
  return result;
}

}  // namespace brivane
