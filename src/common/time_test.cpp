#include "common/time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace brivane {
namespace {

// Local fields follow the zone rules in force at the time asked about, not
// those of today: noon UTC is 13:00 in a Berlin winter and 14:00 in summer.
TEST(LocalTime, UsesTheRulesOfThatDate) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const std::tm winter = localTimeFields(1768478400);  // 2026-01-15 12:00:00 UTC
  const std::tm summer = localTimeFields(1784116800);  // 2026-07-15 12:00:00 UTC
  const std::string written = formatLocalTime(1784116800, "%Y-%m-%d %H:%M:%S");
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  EXPECT_EQ(winter.tm_hour, 13);
  EXPECT_EQ(summer.tm_hour, 14);
  EXPECT_EQ(written, "2026-07-15 14:00:00");
}

}  // namespace
}  // namespace brivane
