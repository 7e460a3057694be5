#include "update/update_check_starter.h"

namespace brivane {

UpdateCheckStarter::~UpdateCheckStarter() {
  if (check_) check_->requestStop();
}

void UpdateCheckStarter::start(MessageTarget& target) {
  if (check_ && !check_->finished()) return;
  check_.reset();  // an ended one: joins at once
  check_ = std::make_unique<TUpdateCheck>(fetcher_, addresses_.manifest, target);
  check_->start();
}

std::string UpdateCheckStarter::latestVersion() { return check_ ? check_->latestVersion() : std::string(); }

void UpdateCheckStarter::requestStop() {
  if (check_) check_->requestStop();
}

bool UpdateCheckStarter::waitFor(std::chrono::steady_clock::time_point deadline) {
  return !check_ || check_->waitFor(deadline);
}

void UpdateCheckStarter::openDownloadPage() {
  if (opener_ && isWebAddress(addresses_.download)) opener_(addresses_.download);
}

}  // namespace brivane
