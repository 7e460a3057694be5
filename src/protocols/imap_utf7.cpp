#include "protocols/imap_utf7.h"

#include <cstdint>
#include <vector>

#include "common/text.h"

namespace brivane {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

bool isDirect(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

void appendBase64Run(std::string& out, const std::vector<uint16_t>& units) {
  out += '&';
  uint32_t bits = 0;
  int count = 0;
  for (uint16_t u : units) {
    bits = (bits << 16) | u;
    count += 16;
    while (count >= 6) {
      count -= 6;
      out += kAlphabet[(bits >> count) & 0x3F];
    }
    bits &= (1u << count) - 1;
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3F];
  out += '-';
}

// Decodes the base64 text of one shifted run into UTF-8; false when it is
// not a valid run.
bool decodeRun(std::string_view run, std::string& out) {
  uint32_t bits = 0;
  int count = 0;
  std::vector<uint16_t> units;
  for (char c : run) {
    const int v = base64Value(c);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 16) {
      count -= 16;
      units.push_back(static_cast<uint16_t>(bits >> count));
      bits &= (1u << count) - 1;
    }
  }
  // What is left must be fewer than 6 padding bits, all zero: 6 or more
  // bits mean an odd octet (or a stray character), non-zero bits a wrong
  // boundary.
  if (count >= 6 || bits != 0 || units.empty()) return false;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (isHighSurrogate(cp)) {
      if (i + 1 >= units.size() || !isLowSurrogate(units[i + 1])) return false;
      cp = fromSurrogates(cp, units[i + 1]);
      ++i;
    } else if (isLowSurrogate(cp)) {
      return false;
    } else if (cp >= 0x20 && cp <= 0x7E) {
      return false;  // printable ASCII must stand for itself
    }
    appendUtf8(out, cp);
  }
  return true;
}

}  // namespace

std::optional<std::string> tryEncodeModifiedUtf7(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 8);
  std::vector<uint16_t> run;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (isDirect(c)) {
      if (!run.empty()) {
        appendBase64Run(out, run);
        run.clear();
      }
      out += static_cast<char>(c);
      if (c == '&') out += '-';
      ++i;
      continue;
    }
    size_t len = 0;
    const char32_t cp = decodeUtf8(utf8.substr(i), len);
    if (len == 0) return std::nullopt;
    if (cp >= 0x10000) {
      run.push_back(highSurrogate(cp));
      run.push_back(lowSurrogate(cp));
    } else {
      run.push_back(static_cast<uint16_t>(cp));
    }
    i += len;
  }
  if (!run.empty()) appendBase64Run(out, run);
  return out;
}

std::optional<std::string> tryDecodeModifiedUtf7(std::string_view wire) {
  std::string out;
  out.reserve(wire.size());
  bool afterRun = false;  // the previous character closed a shifted run
  size_t i = 0;
  while (i < wire.size()) {
    const char c = wire[i];
    if (c != '&') {
      out += c;
      afterRun = false;
      ++i;
      continue;
    }
    const size_t close = wire.find('-', i + 1);
    if (close == std::string_view::npos) return std::nullopt;
    if (close == i + 1) {  // "&-" is "&"
      out += '&';
      afterRun = false;
      i = close + 1;
      continue;
    }
    if (afterRun) return std::nullopt;  // null shift: "-&" between two runs
    if (!decodeRun(wire.substr(i + 1, close - i - 1), out)) return std::nullopt;
    afterRun = true;
    i = close + 1;
  }
  return out;
}

std::string encodeModifiedUtf7(std::string_view utf8) {
  auto r = tryEncodeModifiedUtf7(utf8);
  return r ? std::move(*r) : std::string(utf8);
}

std::string decodeModifiedUtf7(std::string_view wire) {
  auto r = tryDecodeModifiedUtf7(wire);
  return r ? std::move(*r) : std::string(wire);
}

}  // namespace brivane
