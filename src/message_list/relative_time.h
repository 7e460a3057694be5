#pragma once
#include <climits>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <unordered_map>

// How old a message is, as the message list says it.
namespace brivane {

// "Just received", "20 secs ago", "1 mins ago", "2 hrs ago", "Today",
// "Yesterday", "3 days ago" or the short date, by local calendar fields.
// Keeps the local fields of the times it was asked about (bounded, and
// forgotten when the zone's offset changes). UI thread only.
class RelativeTimes {
 public:
  using NowFn = std::function<int64_t()>;                    // seconds since 1970 (UTC)
  using DateFormatFn = std::function<std::string(int64_t)>;  // the locale's short date

  // The wall clock and the locale's short date ("%x").
  RelativeTimes();

  void setClock(NowFn now) { now_ = std::move(now); }
  int64_t now() const { return now_(); }
  void setShortDate(DateFormatFn format) { shortDate_ = std::move(format); }
  // Forgets the kept local fields.
  void resetCache();

  // The text for a message received at `when`; empty for a time of 0.
  std::string text(int64_t when) const;

 private:
  const std::tm& localFields(int64_t when) const;

  NowFn now_;
  DateFormatFn shortDate_;
  mutable std::unordered_map<int64_t, std::tm> localCache_;
  mutable long localOffset_ = 0;
  // The local fields of the last "now" asked for.
  mutable int64_t nowSecs_ = INT64_MIN;
  mutable std::tm nowFields_{};
};

// What an account's header says of its checks (times in seconds since
// 1970): "checked just now" under a minute after the last success,
// "checked N min ago" under an hour, then "checked at " and `shortTime`;
// "last good check " and `shortTime` when the latest check failed; empty
// when the run has had no success yet. A success "in the future" (the clock
// was set back) is just now.
std::string checkedText(int64_t lastSuccess, bool latestFailed, int64_t now,
                        const RelativeTimes::DateFormatFn& shortTime);

}  // namespace brivane
