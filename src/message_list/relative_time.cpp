#include "message_list/relative_time.h"

#include "common/time.h"

namespace brivane {

namespace {

constexpr size_t kMaxCachedTimes = 16384;

std::string defaultShortDate(int64_t when) { return formatLocalTime(when, "%x"); }

}  // namespace

RelativeTimes::RelativeTimes() : now_(nowSeconds), shortDate_(defaultShortDate) {}

void RelativeTimes::resetCache() {
  localCache_.clear();
  nowSecs_ = INT64_MIN;
}

std::string RelativeTimes::text(int64_t when) const {
  if (when == 0) return {};
  const int64_t nowSecs = now_();
  if (nowSecs != nowSecs_) {  // a rebuild asks with the same "now" for every row
    nowFields_ = localTimeFields(nowSecs);
    nowSecs_ = nowSecs;
    if (nowFields_.tm_gmtoff != localOffset_) {  // the zone changed: cached fields are stale
      localCache_.clear();
      localOffset_ = nowFields_.tm_gmtoff;
    }
  }
  const std::tm& n = nowFields_;
  const std::tm& w = localFields(when);
  const bool sameDay = w.tm_year == n.tm_year && w.tm_mon == n.tm_mon && w.tm_mday == n.tm_mday;
  if (when > nowSecs) return sameDay ? "Just received" : shortDate_(when);
  if (sameDay) {
    if (w.tm_hour == n.tm_hour && w.tm_min == n.tm_min) {
      int d = n.tm_sec - w.tm_sec;
      return d > 0 ? std::to_string(d) + " secs ago" : "Just received";
    }
    if (w.tm_hour == n.tm_hour) return std::to_string(n.tm_min - w.tm_min) + " mins ago";
    int d = n.tm_hour - w.tm_hour;
    return d < 3 ? std::to_string(d) + " hrs ago" : "Today";
  }
  if (w.tm_year == n.tm_year && w.tm_mon == n.tm_mon) {
    int d = n.tm_mday - w.tm_mday;
    if (d == 1) return "Yesterday";
    if (d == 2 || d == 3) return std::to_string(d) + " days ago";
  }
  return shortDate_(when);
}

const std::tm& RelativeTimes::localFields(int64_t when) const {
  auto it = localCache_.find(when);
  if (it != localCache_.end()) return it->second;
  if (localCache_.size() >= kMaxCachedTimes) localCache_.clear();
  return localCache_.emplace(when, localTimeFields(when)).first->second;
}

std::string checkedText(int64_t lastSuccess, bool latestFailed, int64_t now,
                        const RelativeTimes::DateFormatFn& shortTime) {
  if (lastSuccess == 0) return {};
  if (latestFailed) return "last good check " + shortTime(lastSuccess);
  const int64_t age = now - lastSuccess;
  if (age < 60) return "checked just now";
  if (age < 3600) return "checked " + std::to_string(age / 60) + " min ago";
  return "checked at " + shortTime(lastSuccess);
}

}  // namespace brivane
