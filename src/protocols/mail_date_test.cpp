#include "protocols/mail_date.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(MailDate, ParsesZonesAndRejectsGarbage) {
  const int64_t noonUtc = 1772539200;  // 2026-03-03 12:00:00 UTC
  const struct {
    const char *name, *in;
    int64_t out;
  } rows[] = {
      {"UTC", "Tue, 3 Mar 2026 12:00:00 +0000", noonUtc},
      {"positive offset", "Tue, 3 Mar 2026 13:00:00 +0100", noonUtc},
      {"EST", "Tue, 03 Mar 2026 07:00:00 EST", noonUtc},
      {"no weekday, no seconds, PST", "3 Mar 2026 04:00 PST", noonUtc},
      {"negative half-hour offset and comment", "Tue, 3 Mar 2026 05:30:00 -0630 (weird)", noonUtc},
      {"GMT", "Tue, 3 Mar 2026 12:00:00 GMT", noonUtc},
      {"unknown zone", "Tue, 3 Mar 2026 12:00:00 XYZ", noonUtc},
      {"two-digit year, Z", "Tue, 3 Mar 26 12:00:00 Z", noonUtc},
      {"offset out of range", "Tue, 3 Mar 2026 12:00:00 +9999", noonUtc},
      {"empty", "", 0},
      {"words", "yesterday", 0},
      {"February", "Sun, 1 Feb 2026 12:00:00 +0000", noonUtc - 30 * 86400},
      {"30 February", "Mon, 30 Feb 2026 12:00:00 +0000", 0},
      {"unknown month", "Tue, 3 Foo 2026 12:00:00 +0000", 0},
      {"hour 25", "Tue, 3 Mar 2026 25:00:00 +0000", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(parseMailDate(r.in), r.out);
  }
}

}  // namespace
}  // namespace brivane
