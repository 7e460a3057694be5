#pragma once
#include <mutex>
#include <string>
#include <string_view>

#include "common/version.h"
#include "platform/http_fetch.h"
#include "platform/message_target.h"
#include "platform/worker_thread.h"

// The update check: a worker thread that fetches the manifest and finds the
// latest version named in it.
//
// The owner creates it, starts it, and reads latestVersion() when
// WM_UPDATECHECKDONE arrives; it may ask it to stop at any time. The message
// is posted to the target exactly once, in every case: found, not found,
// failed, stopped, no manifest address, or no thread could be started.
namespace brivane {

// The text of the first <LatestVersion>...</LatestVersion> pair (tags in any
// case, the value's own case kept), when it is a version of four numbers
// 0..65535; empty otherwise (no pair, no closing tag, any other text).
std::string latestVersionIn(std::string_view document);

// True when `latest` is a version and greater than `program`, comparing
// major, minor, release and build as numbers. Empty or malformed: false.
bool isNewerVersion(std::string_view latest, const ProgramVersion& program = programVersion());

class TUpdateCheck : public WorkerThread {
 public:
  // `manifestUrl` empty: no request is made. `fetcher` and `target` must
  // outlive the thread.
  TUpdateCheck(HttpFetcher& fetcher, std::string manifestUrl, MessageTarget& target)
      : fetcher_(fetcher), url_(std::move(manifestUrl)), target_(target) {}
  ~TUpdateCheck() override {
    requestStop();
    join();
  }

  // The version found; empty while running, and when nothing usable was found.
  std::string latestVersion() const;

 protected:
  void execute() override;
  void abandoned(const std::string& why) override;

 private:
  HttpFetcher& fetcher_;
  const std::string url_;
  MessageTarget& target_;
  mutable std::mutex mutex_;
  std::string latest_;
};

}  // namespace brivane
