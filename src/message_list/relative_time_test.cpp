#include "message_list/relative_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace brivane {
namespace {

// Relative times compare local calendar fields: run them in a zone with
// daylight saving time, where a local/UTC mix-up shows.
[[maybe_unused]] const bool kBerlin = (setenv("TZ", "Europe/Berlin", 1), tzset(), true);

// A local time in July 2026 (August for day 32).
int64_t at(int d, int h, int mi, int s = 0) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900, tm.tm_mon = 6, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

TEST(RelativeTimes, ByLocalCalendarFields) {
  int64_t now = 0;
  RelativeTimes times;
  times.setClock([&] { return now; });
  const auto date = [](int64_t t) { return "date:" + std::to_string(t); };
  times.setShortDate(date);
  const int64_t noon = at(15, 12, 1, 30);
  const struct { const char* name; int64_t now, when; std::string shown; } rows[] = {
      {"40 s ago is a minute", noon, at(15, 12, 0, 50), "1 mins ago"},
      {"seconds", noon, at(15, 12, 1, 10), "20 secs ago"},
      {"now", noon, noon, "Just received"},
      {"hours ago today", at(15, 12, 10), at(15, 9, 0), "Today"},
      {"two minutes over an hour", at(15, 11, 1), at(15, 10, 59), "1 hrs ago"},
      {"yesterday", noon, at(14, 23, 59), "Yesterday"},
      {"three days", noon, at(12, 8, 0), "3 days ago"},
      {"four days: the date", noon, at(11, 8, 0), date(at(11, 8, 0))},
      {"previous month", at(32, 0, 30), at(31, 23, 0), date(at(31, 23, 0))},
      {"just after local midnight (22:30 UTC)", at(16, 0, 30), at(15, 23, 30), "Yesterday"},
      {"sender's clock ahead, same day", noon, noon + 600, "Just received"},
      {"sender's clock ahead, a later day", noon, noon + 86400, date(noon + 86400)},
      {"no time", noon, 0, ""},
  };
  for (const auto& row : rows) {
    now = row.now;
    EXPECT_EQ(times.text(row.when), row.shown) << row.name;
  }
}

}  // namespace
}  // namespace brivane
