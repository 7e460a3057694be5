#include "platform/http_fetch.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <memory>
#include <mutex>

#include "common/version.h"
#include "platform/run_time_library.h"

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

// libcurl is loaded at the first fetch, not with the program: it and the
// libraries it brings (Kerberos, LDAP, SSH, GnuTLS...) would take some 4 MB
// of every run's memory that never checks for an update.
struct Curl {
  bool loaded = false;
  std::string error;
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_multi_init) multi_init = nullptr;
  decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&::curl_multi_perform) multi_perform = nullptr;
  decltype(&::curl_multi_poll) multi_poll = nullptr;
  decltype(&::curl_multi_info_read) multi_info_read = nullptr;
  decltype(&::curl_multi_strerror) multi_strerror = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
};

// Loaded and set up once (never unloaded); `loaded` false with `error` when
// the library or one of its functions is missing.
const Curl& curl() {
  static const Curl loaded = [] {
    Curl c;
    void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      const char* why = ::dlerror();
      c.error = std::string("the HTTP library could not be loaded: ") + (why != nullptr ? why : "libcurl.so.4");
      return c;
    }
    c.loaded = bindSymbol(lib, "curl_global_init", c.global_init) && bindSymbol(lib, "curl_easy_init", c.easy_init) &&
               bindSymbol(lib, "curl_easy_cleanup", c.easy_cleanup) && bindSymbol(lib, "curl_easy_setopt", c.easy_setopt) &&
               bindSymbol(lib, "curl_easy_getinfo", c.easy_getinfo) && bindSymbol(lib, "curl_easy_strerror", c.easy_strerror) &&
               bindSymbol(lib, "curl_multi_init", c.multi_init) && bindSymbol(lib, "curl_multi_cleanup", c.multi_cleanup) &&
               bindSymbol(lib, "curl_multi_add_handle", c.multi_add_handle) &&
               bindSymbol(lib, "curl_multi_remove_handle", c.multi_remove_handle) &&
               bindSymbol(lib, "curl_multi_perform", c.multi_perform) && bindSymbol(lib, "curl_multi_poll", c.multi_poll) &&
               bindSymbol(lib, "curl_multi_info_read", c.multi_info_read) &&
               bindSymbol(lib, "curl_multi_strerror", c.multi_strerror) &&
               bindSymbol(lib, "curl_slist_append", c.slist_append) && bindSymbol(lib, "curl_slist_free_all", c.slist_free_all);
    if (!c.loaded) {
      c.error = "the HTTP library lacks a function this program uses";
      return c;
    }
    // Safe with other threads running (libcurl 7.84 and later); SIGPIPE is
    // ignored by main, and CURLOPT_NOSIGNAL keeps libcurl off signals.
    if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      c.loaded = false;
      c.error = "the HTTP library could not be set up";
    }
    return c;
  }();
  return loaded;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl().easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const { curl().multi_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl().slist_free_all(l); }
};

}  // namespace

void HttpGlobalInit() { (void)curl(); }

CurlHttpFetcher::CurlHttpFetcher(Options options) : options_(std::move(options)) {
  if (options_.userAgent.empty()) options_.userAgent = "Brivane/" + versionText(programVersion());
}

HttpResult CurlHttpFetcher::fetch(const std::string& url, const std::atomic<bool>& stop) {
  HttpResult result;
  const Curl& c = curl();
  if (!c.loaded) {
    result.error = c.error;
    return result;
  }
  // What the handles point to is declared first, so that it outlives them.
  char errorText[CURL_ERROR_SIZE] = "";
  Sink sink{&result.body, options_.maxBytes};
  std::unique_ptr<curl_slist, ListDeleter> headers(c.slist_append(nullptr, "Cache-Control: no-cache"));
  if (headers) {
    curl_slist* more = c.slist_append(headers.get(), "Pragma: no-cache");
    if (more == nullptr) headers.reset();
  }
  std::unique_ptr<CURLM, MultiDeleter> multi(c.multi_init());
  std::unique_ptr<CURL, EasyDeleter> easy(c.easy_init());
  if (!easy || !multi || !headers) {
    result.error = "the HTTP library could not be set up";
    return result;
  }
  CURL* h = easy.get();
  c.easy_setopt(h, CURLOPT_URL, url.c_str());
  c.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // A stop never waits for a host-name lookup: a lookup still running when
  // the handle is removed is left to end on its own, its answer dropped.
  c.easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
  c.easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  c.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  c.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  c.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  c.easy_setopt(h, CURLOPT_MAXREDIRS, options_.maxRedirects);
  c.easy_setopt(h, CURLOPT_USERAGENT, options_.userAgent.c_str());
  c.easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  c.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeout.count()));
  c.easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.totalTimeout.count()));
  c.easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  c.easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  c.easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  c.easy_setopt(h, CURLOPT_WRITEFUNCTION, keep);
  c.easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (c.multi_add_handle(multi.get(), h) != CURLM_OK) {
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
    CURLMcode mc = c.multi_perform(multi.get(), &running);
    if (mc == CURLM_OK && running > 0) mc = c.multi_poll(multi.get(), nullptr, 0, slice, nullptr);
    if (mc != CURLM_OK) {
      result.error = c.multi_strerror(mc);
      c.multi_remove_handle(multi.get(), h);
      return result;
    }
  }
  if (code == CURLE_OK) {
    int left = 0;
    while (CURLMsg* msg = c.multi_info_read(multi.get(), &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) code = msg->data.result;
    }
  }
  c.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
  c.multi_remove_handle(multi.get(), h);

  result.cut = sink.cut;
  if (code == CURLE_ABORTED_BY_CALLBACK) {
    result.error = "stopped";
  } else if (code == CURLE_WRITE_ERROR && sink.cut) {
    code = CURLE_OK;  // the kept part is the document
  } else if (code != CURLE_OK) {
    result.error = errorText[0] != '\0' ? errorText : c.easy_strerror(code);
  }
  if (code == CURLE_OK && result.status >= 400) result.error = "HTTP status " + std::to_string(result.status);
  result.ok = code == CURLE_OK && result.status < 400;
  if (!result.ok) result.body.clear();
  return result;
}

}  // namespace brivane
