#include "protocols/mail_date.h"

#include <string>

#include "common/text.h"
#include "protocols/header_decoder.h"

namespace brivane {

namespace {

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Cursor {
  std::string_view s;
  size_t i = 0;
  void skipSpace() {
    while (i < s.size() && (isHeaderSpace(s[i]) || s[i] == ',')) ++i;
  }
  bool number(int& v, int minDigits, int maxDigits) {
    int n = 0;
    v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && n < maxDigits) {
      v = v * 10 + (s[i] - '0');
      ++i;
      ++n;
    }
    return n >= minDigits && !(i < s.size() && s[i] >= '0' && s[i] <= '9');
  }
  std::string_view word() {
    size_t b = i;
    while (i < s.size() && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) ++i;
    return s.substr(b, i - b);
  }
};

int zoneOffsetMinutes(std::string_view rest) {
  std::string zone = trimControl(rest);
  if (zone.empty()) return 0;
  if (zone[0] == '+' || zone[0] == '-') {
    if (zone.size() < 5) return 0;
    int digits[4];
    for (int k = 0; k < 4; ++k) {
      char c = zone[static_cast<size_t>(k) + 1];
      if (c < '0' || c > '9') return 0;
      digits[k] = c - '0';
    }
    int h = digits[0] * 10 + digits[1], m = digits[2] * 10 + digits[3];
    if (h > 23 || m > 59) return 0;
    return (zone[0] == '-' ? -1 : 1) * (h * 60 + m);
  }
  size_t len = 0;
  while (len < zone.size() && ((zone[len] >= 'A' && zone[len] <= 'Z') || (zone[len] >= 'a' && zone[len] <= 'z'))) ++len;
  std::string name = asciiUpper(zone.substr(0, len));
  static const struct {
    const char* name;
    int hours;
  } zones[] = {{"UT", 0}, {"GMT", 0}, {"Z", 0},  {"EST", -5}, {"EDT", -4}, {"CST", -6},
               {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const auto& z : zones)
    if (name == z.name) return z.hours * 60;
  return 0;
}

}  // namespace

int64_t parseMailDate(std::string_view value) {
  Cursor c{value};
  c.skipSpace();
  // Optional day name.
  size_t save = c.i;
  std::string_view w = c.word();
  if (!w.empty()) {
    c.skipSpace();
  } else {
    c.i = save;
  }
  int day, year, hour, minute, second = 0;
  if (!c.number(day, 1, 2)) return 0;
  c.skipSpace();
  c.i += (c.i < value.size() && value[c.i] == '-') ? 1 : 0;
  std::string month = asciiLower(c.word().substr(0, 3));
  static const char* months[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  int mon = 0;
  for (int k = 0; k < 12; ++k)
    if (month == months[k]) mon = k + 1;
  if (mon == 0) return 0;
  c.i += (c.i < value.size() && value[c.i] == '-') ? 1 : 0;
  c.skipSpace();
  size_t yStart = c.i;
  if (!c.number(year, 2, 4)) return 0;
  size_t yDigits = c.i - yStart;
  if (yDigits == 2) year += year < 50 ? 2000 : 1900;
  else if (yDigits == 3) year += 1900;
  c.skipSpace();
  if (!c.number(hour, 1, 2) || c.i >= value.size() || value[c.i] != ':') return 0;
  ++c.i;
  if (!c.number(minute, 2, 2)) return 0;
  if (c.i < value.size() && value[c.i] == ':') {
    ++c.i;
    if (!c.number(second, 2, 2)) return 0;
  }
  static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (day < 1 || day > monthDays[mon - 1] || hour > 23 || minute > 59 || second > 60) return 0;
  int64_t t = daysFromCivil(year, static_cast<unsigned>(mon), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
              minute * 60 + second;
  t -= static_cast<int64_t>(zoneOffsetMinutes(value.substr(c.i))) * 60;
  return t == 0 ? 1 : t;  // 0 means "no date"
}

}  // namespace brivane
