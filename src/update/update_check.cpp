#include "update/update_check.h"

#include "common/messages.h"
#include "common/text.h"

namespace brivane {

std::string latestVersionIn(std::string_view document) {
  static constexpr std::string_view kOpen = "<latestversion>";
  static constexpr std::string_view kClose = "</latestversion>";
  // Case-folded copy for the search; positions are the same in the original.
  const std::string folded = asciiLower(document);
  const size_t open = folded.find(kOpen);
  if (open == std::string::npos) return {};
  const size_t start = open + kOpen.size();
  const size_t close = folded.find(kClose, start);
  if (close == std::string::npos) return {};
  std::string value(document.substr(start, close - start));
  return parseVersion(value) ? value : std::string();
}

bool isNewerVersion(std::string_view latest, const ProgramVersion& program) {
  const auto v = parseVersion(latest);
  return v && *v > program;
}

std::string TUpdateCheck::latestVersion() const {
  std::lock_guard lock(mutex_);
  return latest_;
}

void TUpdateCheck::execute() {
  std::string found;
  if (!url_.empty() && !stopRequested()) {
    const HttpResult r = fetcher_.fetch(url_, stopFlag());
    if (r.ok && !stopRequested()) found = latestVersionIn(r.body);
  }
  {
    std::lock_guard lock(mutex_);
    latest_ = std::move(found);
  }
  target_.post(WM_UPDATECHECKDONE, 0);
}

void TUpdateCheck::abandoned(const std::string&) { target_.post(WM_UPDATECHECKDONE, 0); }

}  // namespace brivane
