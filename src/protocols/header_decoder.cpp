#include "protocols/header_decoder.h"

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <unordered_map>

#include "common/text.h"

namespace brivane {
namespace {

bool isWs(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool decodeQ(std::string_view in, std::string& out) {
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=') {
      if (i + 2 >= in.size()) return false;
      int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

bool decodeBase64(std::string_view in, std::string& out) {
  uint32_t acc = 0;
  int bits = 0;
  bool padding = false;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') {
      padding = true;
      continue;
    } else return false;
    if (padding) return false;  // data after padding
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}

// iconv descriptors are costly to open; each thread keeps its own.
class Converters {
 public:
  ~Converters() {
    for (auto& [name, cd] : map_)
      if (cd != invalid()) iconv_close(cd);
  }
  // Invalid when the charset is unknown.
  iconv_t get(const std::string& charset) {
    auto it = map_.find(charset);
    if (it != map_.end()) return it->second;
    if (map_.size() > 64) {  // a server inventing charsets cannot grow this forever
      for (auto& [name, cd] : map_)
        if (cd != invalid()) iconv_close(cd);
      map_.clear();
    }
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    map_.emplace(charset, cd);
    return cd;
  }
  static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }

 private:
  std::unordered_map<std::string, iconv_t> map_;
};

iconv_t converterFor(const std::string& charset) {
  thread_local Converters converters;
  return converters.get(charset);
}

// Runs the bytes through iconv; a byte it cannot convert becomes U+FFFD.
void convertRaw(iconv_t cd, const std::string& bytes, std::string& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buf[1024];
  for (;;) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    size_t rc = iconv(cd, inLeft ? &in : nullptr, &inLeft, &o, &oLeft);
    int err = rc == static_cast<size_t>(-1) ? errno : 0;
    out.append(buf, static_cast<size_t>(o - buf));
    if (rc != static_cast<size_t>(-1)) {
      if (inLeft == 0) {
        // Flush the shift state of stateful charsets.
        o = buf;
        oLeft = sizeof buf;
        iconv(cd, nullptr, nullptr, &o, &oLeft);
        out.append(buf, static_cast<size_t>(o - buf));
        return;
      }
      continue;
    }
    if (err == E2BIG) continue;
    out += "\xEF\xBF\xBD";  // U+FFFD
    if (err == EILSEQ && inLeft > 0) {
      ++in;
      --inLeft;
      continue;
    }
    return;  // EINVAL: incomplete sequence at the end
  }
}

// The converted text, well-formed whatever iconv let through (its UTF-8
// reader passes sequences above U+10FFFF on): every byte that begins no
// well-formed sequence becomes U+FFFD; NUL always goes. With keepLineBreaks,
// CR and LF stay (body text); headers drop them.
void appendConverted(iconv_t cd, const std::string& bytes, std::string& out, bool keepLineBreaks = false) {
  std::string raw;
  convertRaw(cd, bytes, raw);
  const std::string_view text(raw);
  for (size_t i = 0; i < text.size();) {
    const size_t n = utf8SequenceLength(text.substr(i));
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const char c = text[i];
    if (c != '\0' && (keepLineBreaks || (c != '\r' && c != '\n'))) out.append(text.substr(i, n));
    i += n;
  }
}

// Labels mail programs write that iconv does not know by that name, or
// knows as a narrower charset than the one such mail is written in.
const std::unordered_map<std::string, std::string>& charsetAliases() {
  static const std::unordered_map<std::string, std::string> aliases = {
      {"KS_C_5601-1987", "CP949"},   {"KS_C_5601", "CP949"},        {"KSC5601", "CP949"},
      {"CSKSC56011987", "CP949"},    {"WINDOWS-949", "CP949"},      {"X-WINDOWS-949", "CP949"},
      {"ISO-8859-8-I", "ISO-8859-8"}, {"ISO-8859-8-E", "ISO-8859-8"}, {"ISO_8859-8-I", "ISO-8859-8"},
      {"ISO-8859-6-I", "ISO-8859-6"}, {"ISO-8859-6-E", "ISO-8859-6"},
      {"GB2312", "GBK"},             {"GB_2312-80", "GBK"},         {"X-GBK", "GBK"},
      {"X-EUC-CN", "GBK"},           {"EUC-CN", "GBK"},             {"X-GB2312", "GBK"},
      {"WINDOWS-874", "CP874"},      {"X-WINDOWS-874", "CP874"},
      {"X-MAC-ROMAN", "MACINTOSH"},  {"X-MAC-CYRILLIC", "MAC-CYRILLIC"},
      {"X-MAC-UKRAINIAN", "MACUKRAINIAN"}, {"X-MAC-CE", "MAC-CENTRALEUROPE"},
      {"X-MAC-CENTRALEURROMAN", "MAC-CENTRALEUROPE"}, {"X-MAC-ICELANDIC", "MAC-IS"},
      {"X-SJIS", "SHIFT_JIS"},       {"X-EUC-JP", "EUC-JP"},        {"X-EUC-TW", "EUC-TW"},
      {"UNICODE-1-1-UTF-7", "UTF-7"}, {"X-UTF-8", "UTF-8"},          {"X-CP1250", "CP1250"},
      {"X-CP1251", "CP1251"},        {"X-CP1252", "CP1252"},        {"WINDOWS-31J", "CP932"},
      {"X-MS-CP932", "CP932"},       {"SHIFT-JIS", "SHIFT_JIS"},
  };
  return aliases;
}

std::string normalisedCharset(std::string_view cs) {
  size_t star = cs.find('*');  // RFC 2231 language suffix
  if (star != std::string_view::npos) cs = cs.substr(0, star);
  std::string name = asciiUpper(trimControl(cs));
  const auto& aliases = charsetAliases();
  if (auto it = aliases.find(name); it != aliases.end()) return it->second;
  return name;
}

struct Word {
  size_t begin = 0, end = 0;  // the whole "=?...?=" in the text
  std::string charset;
  std::string bytes;
};

// Parses and decodes the candidate at `p` ("=?"); false when it is no
// decodable encoded word.
bool parseWord(std::string_view text, size_t p, Word& w) {
  size_t q1 = text.find('?', p + 2);
  if (q1 == std::string_view::npos || q1 == p + 2 || q1 + 3 > text.size()) return false;
  if (text[q1 + 2] != '?') return false;
  char enc = text[q1 + 1];
  size_t end = text.find("?=", q1 + 3);
  if (end == std::string_view::npos) return false;
  for (size_t i = p + 2; i < end; ++i)
    if (isWs(text[i])) return false;
  std::string_view charset = text.substr(p + 2, q1 - p - 2);
  std::string_view encoded = text.substr(q1 + 3, end - q1 - 3);
  w.bytes.clear();
  bool ok = false;
  if (enc == 'Q' || enc == 'q') ok = decodeQ(encoded, w.bytes);
  else if (enc == 'B' || enc == 'b') ok = decodeBase64(encoded, w.bytes);
  if (!ok) return false;
  w.charset = normalisedCharset(charset);
  if (converterFor(w.charset) == Converters::invalid()) return false;
  w.begin = p;
  w.end = end + 2;
  return true;
}

// Text outside encoded words as UTF-8. CR, LF and NUL go as they do from
// decoded words: a raw NUL or a bare CR in a header line is no more part of
// a name, an address or a subject than an encoded one.
void appendPlain(std::string_view bytes, std::string& out) {
  for (char c : bytesToUtf8(bytes))
    if (c != '\0' && c != '\r' && c != '\n') out += c;
}

std::string plainText(std::string_view bytes) {
  std::string out;
  appendPlain(bytes, out);
  return out;
}

}  // namespace

std::string charsetToUtf8(std::string_view bytes, std::string_view charset) {
  const std::string name = normalisedCharset(charset);
  if (!name.empty() && name != "UTF-8" && name != "US-ASCII") {
    iconv_t cd = converterFor(name);
    if (cd != Converters::invalid()) {
      std::string out;
      appendConverted(cd, std::string(bytes), out, true);
      return out;
    }
  }
  return bytesToUtf8(bytes);
}

std::string decodeEncodedWords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t plainFrom = 0;   // start of text not yet copied
  bool haveRun = false;   // a run of adjacent words waiting for conversion
  std::string runCharset, runBytes;
  auto flush = [&] {
    if (haveRun) appendConverted(converterFor(runCharset), runBytes, out);
    haveRun = false;
    runBytes.clear();
  };
  size_t search = 0;
  Word w;
  while (search < text.size()) {
    size_t p = text.find("=?", search);
    if (p == std::string_view::npos) break;
    if (!parseWord(text, p, w)) {
      search = p + 2;
      continue;
    }
    std::string_view between = text.substr(plainFrom, p - plainFrom);
    bool onlySpace = true;
    for (char c : between)
      if (!isWs(c)) onlySpace = false;
    if (!(haveRun && onlySpace)) {
      flush();
      appendPlain(between, out);
    }
    if (haveRun && runCharset != w.charset) flush();
    if (!haveRun) {
      haveRun = true;
      runCharset = w.charset;
    }
    runBytes += w.bytes;
    plainFrom = search = w.end;
  }
  flush();
  appendPlain(text.substr(plainFrom), out);
  return out;
}

// ------------------------------------------------------------ addresses

namespace {

// When an encoded word ("=?charset?e?text?=", no white space) starts at
// v[i], the index of its last character; else i. Mail programs write "," and
// ":" raw inside them, which must not split or group an address list.
size_t encodedWordLast(std::string_view v, size_t i) {
  if (v.substr(i, 2) != "=?") return i;
  size_t q = i + 2, marks = 0;
  for (; q + 1 < v.size(); ++q) {
    if (isWs(v[q])) return i;
    if (v[q] != '?') continue;
    if (marks == 2 && v[q + 1] == '=') return q + 1;
    if (marks < 2) ++marks;
  }
  return i;
}

// Splits at top-level commas (outside quotes, angle brackets, comments and
// encoded words).
std::vector<std::string_view> splitTopLevel(std::string_view v) {
  std::vector<std::string_view> parts;
  int comment = 0;
  bool quoted = false, angle = false;
  size_t start = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (comment > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++comment;
      else if (c == ')') --comment;
    } else if (c == '"') quoted = true;
    else if (c == '=') i = encodedWordLast(v, i);
    else if (c == '(') comment = 1;
    else if (c == '<') angle = true;
    else if (c == '>') angle = false;
    else if ((c == ',' || c == ';') && !angle) {
      parts.push_back(v.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(v.substr(start));
  return parts;
}

// Text of a display-name phrase: quoted strings lose their quotes and escapes,
// comments are dropped (their text returned in `commentText`).
std::string phraseText(std::string_view s, std::string* commentText) {
  std::string out;
  int comment = 0;
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quoted) {
      if (c == '\\' && i + 1 < s.size()) out += s[++i];
      else if (c == '"') quoted = false;
      else out += c;
    } else if (comment > 0) {
      if (c == '\\' && i + 1 < s.size()) c = s[++i];
      else if (c == '(') ++comment;
      else if (c == ')' && --comment == 0) continue;
      if (commentText && comment > 0) *commentText += c;
    } else if (c == '"') quoted = true;
    else if (c == '(') comment = 1;
    else out += c;
  }
  return out;
}

}  // namespace

std::vector<MailAddress> parseAddressList(std::string_view value) {
  std::vector<MailAddress> list;
  for (std::string_view part : splitTopLevel(value)) {
    // A group "Name: a, b;" : drop its name.
    {
      bool quoted = false;
      int comment = 0;
      for (size_t i = 0; i < part.size(); ++i) {
        char c = part[i];
        if (quoted) {
          if (c == '"') quoted = false;
        } else if (c == '"') quoted = true;
        else if (c == '=') i = encodedWordLast(part, i);
        else if (c == '(') ++comment;
        else if (c == ')') comment = comment > 0 ? comment - 1 : 0;
        else if (comment == 0 && (c == '<' || c == '@')) break;
        else if (comment == 0 && c == ':') {
          part.remove_prefix(i + 1);
          break;
        }
      }
    }
    MailAddress a;
    size_t lt = std::string_view::npos;
    {
      bool quoted = false;
      int comment = 0;
      for (size_t i = 0; i < part.size(); ++i) {
        char c = part[i];
        if (quoted) {
          if (c == '\\') ++i;
          else if (c == '"') quoted = false;
        } else if (c == '"') quoted = true;
        else if (c == '=') i = encodedWordLast(part, i);
        else if (c == '(') ++comment;
        else if (c == ')') comment = comment > 0 ? comment - 1 : 0;
        else if (c == '<' && comment == 0) {
          lt = i;
          break;
        }
      }
    }
    if (lt != std::string_view::npos) {
      size_t gt = part.find('>', lt);
      std::string_view addr = part.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1);
      a.address = trimControl(plainText(addr));
      a.name = trimControl(decodeEncodedWords(trimControl(phraseText(part.substr(0, lt), nullptr))));
    } else {
      std::string comment;
      a.address = trimControl(plainText(phraseText(part, &comment)));
      a.name = trimControl(decodeEncodedWords(trimControl(comment)));
    }
    if (!a.address.empty() || !a.name.empty()) list.push_back(std::move(a));
  }
  if (list.empty()) list.emplace_back();
  return list;
}

// ------------------------------------------------------------ dates

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
    while (i < s.size() && (isWs(s[i]) || s[i] == ',')) ++i;
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

std::tm toLocalTime(int64_t utcSeconds) {
  std::tm tm{};
  time_t t = static_cast<time_t>(utcSeconds);
  localtime_r(&t, &tm);
  return tm;
}

}  // namespace brivane
