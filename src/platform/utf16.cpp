#include "platform/utf16.h"

#include "common/text.h"

namespace brivane {

namespace {

void putUnit(std::string& out, char16_t u) {
  out.push_back(static_cast<char>(u & 0xFF));
  out.push_back(static_cast<char>(u >> 8));
}

char16_t unitAt(std::string_view bytes, size_t k) {
  return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                               (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
}

// The three-byte form of a surrogate code point (ED A0..BF 80..BF) at the start of `s`, or 0.
char16_t surrogateForm(std::string_view s) {
  if (s.size() < 3) return 0;
  const auto u = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  if (u(0) != 0xED || u(1) < 0xA0 || u(1) > 0xBF || u(2) < 0x80 || u(2) > 0xBF) return 0;
  return static_cast<char16_t>(0xD000 | ((u(1) & 0x3F) << 6) | (u(2) & 0x3F));
}

void appendSurrogate(std::string& out, char16_t u) {
  out.push_back(static_cast<char>(0xED));
  out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
}

std::string utf16ToUtf8(std::string_view bytes, bool stopAtNul, bool keepLoneSurrogates) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const size_t n = bytes.size() / 2;
  for (size_t k = 0; k < n; ++k) {
    const char16_t u = unitAt(bytes, k);
    if (u == 0 && stopAtNul) break;
    if (isHighSurrogate(u) && k + 1 < n) {
      const char16_t lo = unitAt(bytes, k + 1);
      if (isLowSurrogate(lo)) {
        appendUtf8(out, fromSurrogates(u, lo));
        ++k;
        continue;
      }
    }
    if (isSurrogate(u) && keepLoneSurrogates) appendSurrogate(out, u);
    else appendUtf8(out, u);  // an unpaired surrogate becomes U+FFFD
  }
  return out;
}

}  // namespace

std::string utf8ToUtf16Le(std::string_view input) {
  std::string out;
  out.reserve(input.size() * 2);
  size_t i = 0;
  while (i < input.size()) {
    size_t n = 0;
    char32_t cp = decodeUtf8(input.substr(i), n);
    if (n == 0) {
      if (const char16_t s = surrogateForm(input.substr(i))) {
        putUnit(out, s);
        i += 3;
        continue;
      }
      std::string one = windows1252ToUtf8(input.substr(i, 1));
      cp = decodeUtf8(one, n);
      n = 1;
    }
    i += n;
    if (cp >= 0x10000) {
      putUnit(out, highSurrogate(cp));
      putUnit(out, lowSurrogate(cp));
    } else {
      putUnit(out, static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16LeToUtf8(std::string_view bytes, bool stopAtNul) { return utf16ToUtf8(bytes, stopAtNul, false); }

std::string utf16LeToWtf8(std::string_view bytes) { return utf16ToUtf8(bytes, false, true); }

bool isWellFormedUtf16Le(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return false;
  const size_t n = bytes.size() / 2;
  for (size_t k = 0; k < n; ++k) {
    const char16_t u = unitAt(bytes, k);
    if (isHighSurrogate(u)) {
      if (k + 1 >= n || !isLowSurrogate(unitAt(bytes, k + 1))) return false;
      ++k;
    } else if (isLowSurrogate(u)) {
      return false;
    }
  }
  return true;
}

}  // namespace brivane
