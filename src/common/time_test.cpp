#include "common/time.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace brivane {
namespace {

// Local fields follow the zone rules in force at the time asked about, not
// today's: noon UTC is 13:00 in a Berlin winter and 14:00 in its summer.
TEST(LocalTime, UsesTheRulesOfThatDate) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  EXPECT_EQ(localTimeFields(1768478400).tm_hour, 13);  // 2026-01-15 12:00:00 UTC
  EXPECT_EQ(formatLocalTime(1784116800, "%Y-%m-%d %H:%M:%S"), "2026-07-15 14:00:00");
}

}  // namespace
}  // namespace brivane
