#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/http_fetch.h"
#include "platform/update_starter.h"
#include "update/update_addresses.h"
#include "update/update_check.h"

namespace brivane {

// The real UpdateStarter: one TUpdateCheck at a time over an HTTP fetcher,
// and the download page opened through an injected opener (the saver passes
// one that calls QDesktopServices::openUrl). Called from the owner's (UI)
// thread only.
class UpdateCheckStarter : public UpdateStarter {
 public:
  using Opener = std::function<void(const std::string& address)>;

  UpdateCheckStarter(UpdateAddresses addresses, HttpFetcher& fetcher, Opener opener)
      : addresses_(std::move(addresses)), fetcher_(fetcher), opener_(std::move(opener)) {}
  ~UpdateCheckStarter() override;

  // Starts a new check unless one is still running (then nothing happens;
  // the running one will post its message).
  void start(MessageTarget& target) override;
  std::string latestVersion() override;
  void requestStop() override;
  bool waitFor(std::chrono::steady_clock::time_point deadline) override;
  // Opens the download address only when it is an http or https address.
  void openDownloadPage() override;

 private:
  UpdateAddresses addresses_;
  HttpFetcher& fetcher_;
  Opener opener_;
  std::unique_ptr<TUpdateCheck> check_;
};

}  // namespace brivane
