#include "common/text.h"

#include <array>

namespace brivane {

namespace {

// Windows-1252 bytes 0x80..0x9F; the five undefined ones map to their C1 code.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

}  // namespace

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || isSurrogate(cp)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

size_t utf8SequenceLength(std::string_view b) {
  if (b.empty()) return 0;
  const auto u = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  const unsigned char c = u(0);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;       // no overlong forms
    else if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    else if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (b.size() < len) return 0;
  if (u(1) < lo || u(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (u(i) < 0x80 || u(i) > 0xBF) return 0;
  return len;
}

char32_t decodeUtf8(std::string_view b, size_t& length) {
  length = utf8SequenceLength(b);
  const auto u = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(b[k])); };
  switch (length) {
    case 0: return b.empty() ? 0 : u(0);
    case 1: return u(0);
    case 2: return ((u(0) & 0x1F) << 6) | (u(1) & 0x3F);
    case 3: return ((u(0) & 0x0F) << 12) | ((u(1) & 0x3F) << 6) | (u(2) & 0x3F);
    default: return ((u(0) & 0x07) << 18) | ((u(1) & 0x3F) << 12) | ((u(2) & 0x3F) << 6) | (u(3) & 0x3F);
  }
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isValidUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t n = utf8SequenceLength(bytes.substr(i));
    if (n == 0) return false;
    i += n;
  }
  return true;
}

size_t utf8Length(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++count) {
    const size_t n = utf8SequenceLength(text.substr(i));
    i += n ? n : 1;
  }
  return count;
}

std::string utf8Cut(std::string_view text, size_t maxChars) {
  size_t i = 0;
  for (size_t count = 0; i < text.size() && count < maxChars; ++count) {
    const size_t n = utf8SequenceLength(text.substr(i));
    i += n ? n : 1;
  }
  return std::string(text.substr(0, i));
}

std::string windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) out.push_back(ch);
    else if (c < 0xA0) appendUtf8(out, kCp1252High[c - 0x80]);
    else appendUtf8(out, c);
  }
  return out;
}

bool utf8ToWindows1252(std::string_view utf8, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < utf8.size()) {
    size_t n = 0;
    const char32_t cp = decodeUtf8(utf8.substr(i), n);
    if (n == 0) return false;
    i += n;
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    bool found = false;
    for (size_t k = 0; k < kCp1252High.size(); ++k) {
      if (kCp1252High[k] == cp) {
        out.push_back(static_cast<char>(0x80 + k));
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

std::string bytesToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t n = utf8SequenceLength(bytes.substr(i));
    if (n) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out += windows1252ToUtf8(bytes.substr(i, 1));
      ++i;
    }
  }
  return out;
}

std::string trimControl(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return std::string(text.substr(b, e - b));
}

std::string controlsToBlanks(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 0;
    const char32_t cp = decodeUtf8(utf8.substr(i), n);
    if (n != 0 && isControlChar(cp)) out.push_back(' ');
    else out.append(utf8.substr(i, n ? n : 1));
    i += n ? n : 1;
  }
  return out;
}

bool takeLine(std::string_view& rest, std::string_view& line) {
  const size_t lf = rest.find('\n');
  line = rest.substr(0, lf);
  rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return lf != std::string_view::npos;
}

bool takeCompleteLine(std::string& buffer, std::string& line) {
  const size_t lf = buffer.find('\n');
  if (lf == std::string::npos) return false;
  line.assign(buffer, 0, lf);
  buffer.erase(0, lf + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiLowerChar(c);
  return out;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (asciiLowerChar(a[i]) != asciiLowerChar(b[i])) return false;
  return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace brivane

namespace brivane {

std::optional<std::string> normalizeFingerprint(std::string_view text) {
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') {
      // Only between byte pairs.
      if (digits.empty() || digits.size() % 2 != 0 || i + 1 == text.size() || text[i + 1] == ':') return std::nullopt;
      continue;
    }
    if (hexDigitValue(c) < 0) return std::nullopt;
    digits.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c);
  }
  if (digits.size() != 64) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (i > 0) out.push_back(':');
    out.append(digits, i, 2);
  }
  return out;
}

std::string escapeControl(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = bytesToUtf8(text);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 0;
    const char32_t cp = decodeUtf8(std::string_view(utf8).substr(i), n);
    if (n == 0) n = 1;
    if (cp == '\\') out += "\\\\";
    else if (cp == '\n') out += "\\n";
    else if (cp == '\r') out += "\\r";
    else if (cp == '\t') out += "\\t";
    else if (cp < 0x20 || cp == 0x7F) out += std::string("\\x") + kHex[cp >> 4] + kHex[cp & 15];
    else if (isControlChar(cp)) out += std::string("\\u00") + kHex[cp >> 4] + kHex[cp & 15];
    else out.append(utf8, i, n);
    i += n;
  }
  return out;
}

}  // namespace brivane
