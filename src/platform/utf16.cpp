#include "platform/utf16.h"

#include "common/text.h"

namespace brivane {

namespace {

char32_t decodeAt(std::string_view s, size_t i, size_t n) {
  const auto u = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k])); };
  switch (n) {
    case 1: return u(0);
    case 2: return ((u(0) & 0x1F) << 6) | (u(1) & 0x3F);
    case 3: return ((u(0) & 0x0F) << 12) | ((u(1) & 0x3F) << 6) | (u(2) & 0x3F);
    default: return ((u(0) & 0x07) << 18) | ((u(1) & 0x3F) << 12) | ((u(2) & 0x3F) << 6) | (u(3) & 0x3F);
  }
}

void putUnit(std::string& out, char16_t u) {
  out.push_back(static_cast<char>(u & 0xFF));
  out.push_back(static_cast<char>(u >> 8));
}

template <bool kBigEndian>
std::string utf16ToUtf8(std::string_view bytes, bool stopAtNul) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const size_t n = bytes.size() / 2;
  const auto unit = [&](size_t k) -> char16_t {
    const auto a = static_cast<unsigned char>(bytes[2 * k]);
    const auto b = static_cast<unsigned char>(bytes[2 * k + 1]);
    return kBigEndian ? static_cast<char16_t>((a << 8) | b) : static_cast<char16_t>((b << 8) | a);
  };
  for (size_t k = 0; k < n; ++k) {
    const char16_t u = unit(k);
    if (u == 0 && stopAtNul) break;
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
      const char16_t lo = unit(k + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (lo - 0xDC00));
        ++k;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);
      continue;
    }
    appendUtf8(out, u);
  }
  return out;
}

}  // namespace

std::string utf8ToUtf16Le(std::string_view input) {
  const std::string utf8 = isValidUtf8(input) ? std::string(input) : bytesToUtf8(input);
  std::string out;
  out.reserve(utf8.size() * 2);
  size_t i = 0;
  while (i < utf8.size()) {
    size_t n = utf8SequenceLength(std::string_view(utf8).substr(i));
    if (n == 0) n = 1;  // cannot happen after bytesToUtf8; stay safe
    const char32_t cp = decodeAt(utf8, i, n);
    i += n;
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      putUnit(out, static_cast<char16_t>(0xD800 + (v >> 10)));
      putUnit(out, static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      putUnit(out, static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16LeToUtf8(std::string_view bytes, bool stopAtNul) {
  return utf16ToUtf8<false>(bytes, stopAtNul);
}

std::string utf16BeToUtf8(std::string_view bytes) { return utf16ToUtf8<true>(bytes, false); }

bool isWellFormedUtf16Le(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return false;
  const size_t n = bytes.size() / 2;
  const auto unit = [&](size_t k) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                 (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
  };
  for (size_t k = 0; k < n; ++k) {
    const char16_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (k + 1 >= n) return false;
      const char16_t lo = unit(k + 1);
      if (lo < 0xDC00 || lo > 0xDFFF) return false;
      ++k;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace brivane
