#include "protocols/mail_date.h"

#include <gtest/gtest.h>

namespace brivane {

TEST(MailDate, ParsesZonesAndRejectsGarbage) {
  const int64_t noonUtc = 1772539200;  // 2026-03-03 12:00:00 UTC
  const struct { const char* in; int64_t out; } rows[] = {
      {"Tue, 3 Mar 2026 12:00:00 +0000", noonUtc},
      {"Tue, 3 Mar 2026 13:00:00 +0100", noonUtc},
      {"Tue, 03 Mar 2026 07:00:00 EST", noonUtc},
      {"3 Mar 2026 04:00 PST", noonUtc},  // no weekday, no seconds
      {"Tue, 3 Mar 2026 05:30:00 -0630 (weird)", noonUtc},
      {"Tue, 3 Mar 2026 12:00:00 GMT", noonUtc},
      {"Tue, 3 Mar 2026 12:00:00 XYZ", noonUtc},  // unknown zone: UTC
      {"Tue, 3 Mar 26 12:00:00 Z", noonUtc},
      {"Tue, 3 Mar 2026 12:00:00 +9999", noonUtc},  // offset out of range: ignored
      {"Sun, 1 Feb 2026 12:00:00 +0000", noonUtc - 30 * 86400},
      {"", 0}, {"yesterday", 0}, {"Mon, 30 Feb 2026 12:00:00 +0000", 0},
      {"Tue, 3 Foo 2026 12:00:00 +0000", 0}, {"Tue, 3 Mar 2026 25:00:00 +0000", 0},
  };
  for (const auto& r : rows) EXPECT_EQ(parseMailDate(r.in), r.out) << r.in;
}

}  // namespace brivane
