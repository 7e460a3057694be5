#include "platform/registry_format.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "common/text.h"
#include "platform/utf16.h"

namespace brivane {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// ---- reading ----

// The encoding is decided once for the whole file: a UTF-16LE byte-order
// mark, else UTF-8 (with or without its mark) when every byte of it is
// well-formed, else Windows-1252, as an older export saved as "ANSI" is.
// Deciding piece by piece would read runs of an ANSI file that happen to be
// valid UTF-8 (a scrambled password) as something else.
std::string decodeFileText(std::string_view b) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  if (b.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return utf16LeToWtf8(b.substr(2));
  if (b.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) b.remove_prefix(3);
  return isValidUtf8(b) ? std::string(b) : windows1252ToUtf8(b);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A value of the file. One named a second time takes the place of the last
// mention (where it wins), so the values between two kept lines stay between
// them on writing: kept lines brought together could read back as one value.
void readValueAgain(RegNode& key, const std::string& name, const RegValue& v) {
  for (size_t i = 0; i < key.values.size(); ++i) {
    if (compareRegistryNames(key.values[i].first, name) != 0) continue;
    key.values.erase(key.values.begin() + static_cast<std::ptrdiff_t>(i));
    for (RawLine& line : key.extraLines)
      if (line.place > i) --line.place;
    break;
  }
  key.values.emplace_back(name, v);
}

class Parser {
 public:
  explicit Parser(std::string_view t) : t_(t) {}

  // Index of the end of the line that holds `from` (its '\n' or the end).
  size_t lineEnd(size_t from) const {
    const size_t e = t_.find('\n', from);
    return e == std::string_view::npos ? t_.size() : e;
  }
  // The line starting at `from`, without its line end (LF or CR LF).
  std::string_view line(size_t from) const {
    std::string_view l = t_.substr(from, lineEnd(from) - from);
    while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    return l;
  }

  // Parses a value entry starting at `p`. On success sets name and value
  // and returns the index after the entry's last line end.
  bool value(size_t p, std::string& name, RegValue& v, size_t& next) const {
    while (p < t_.size() && isBlank(t_[p])) ++p;
    if (p >= t_.size()) return false;
    if (t_[p] == '@') {
      name.clear();
      ++p;
    } else if (!quoted(p, name, false)) {
      return false;
    }
    while (p < t_.size() && isBlank(t_[p])) ++p;
    if (p >= t_.size() || t_[p] != '=') return false;
    ++p;
    while (p < t_.size() && isBlank(t_[p])) ++p;
    const std::string_view rest = t_.substr(p);
    if (!rest.empty() && rest[0] == '"') {
      std::string s;
      if (!quoted(p, s, true)) return false;
      v = RegValue::string(s);
    } else if (startsWithIgnoreCase(rest, "dword:")) {
      p += 6;
      uint32_t d = 0;
      int digits = 0;
      while (p < t_.size() && hexDigitValue(t_[p]) >= 0 && digits < 9) {
        d = (d << 4) | static_cast<uint32_t>(hexDigitValue(t_[p]));
        ++p;
        ++digits;
      }
      if (digits == 0 || digits > 8) return false;
      v = RegValue::dword(d);
    } else if (startsWithIgnoreCase(rest, "hex")) {
      p += 3;
      uint32_t type = kRegBinary;
      if (p < t_.size() && t_[p] == '(') {
        ++p;
        type = 0;
        int digits = 0;
        while (p < t_.size() && hexDigitValue(t_[p]) >= 0 && digits < 9) {
          type = (type << 4) | static_cast<uint32_t>(hexDigitValue(t_[p]));
          ++p;
          ++digits;
        }
        if (digits == 0 || digits > 8 || p >= t_.size() || t_[p] != ')') return false;
        ++p;
      }
      if (p >= t_.size() || t_[p] != ':') return false;
      ++p;
      v.type = type;
      v.data.clear();
      if (!hexList(p, v.data)) return false;
    } else {
      return false;
    }
    // Only blanks may follow on the entry's last line.
    while (p < t_.size() && (isBlank(t_[p]) || t_[p] == '\r')) ++p;
    if (p < t_.size() && t_[p] != '\n') return false;
    next = p < t_.size() ? p + 1 : p;
    return true;
  }

 private:
  // A double-quoted text starting at `p` ('"'); "\\" and "\"" are escapes,
  // anything else is taken as it stands. A name must close on its own line;
  // a string may run across line ends (Windows writes control characters
  // raw), but never into a line that starts a key, so that a broken line
  // cannot swallow the sections after it. A scan ends at the first quote
  // after its own, and only a line that starts with a quote (or "@=") starts
  // the next one, so broken lines cost linear time in all.
  bool quoted(size_t& p, std::string& out, bool multiLine) const {
    out.clear();
    size_t q = p + 1;
    while (q < t_.size()) {
      const char c = t_[q];
      if (c == '\\' && q + 1 < t_.size() && (t_[q + 1] == '\\' || t_[q + 1] == '"')) {
        out.push_back(t_[q + 1]);
        q += 2;
      } else if (c == '"') {
        p = q + 1;
        return true;
      } else if (c == '\n' && (!multiLine || (q + 1 < t_.size() && t_[q + 1] == '['))) {
        break;
      } else {
        out.push_back(c);
        ++q;
      }
    }
    return false;  // not closed
  }

  // Comma-separated hex bytes; "\" at a line end continues on the next line.
  bool hexList(size_t& p, std::string& out) const {
    while (true) {
      while (p < t_.size() && isBlank(t_[p])) ++p;
      if (p >= t_.size() || t_[p] == '\r' || t_[p] == '\n') return true;
      if (t_[p] == '\\') {
        ++p;
        while (p < t_.size() && (isBlank(t_[p]) || t_[p] == '\r')) ++p;
        if (p >= t_.size()) return true;
        if (t_[p] != '\n') return false;
        ++p;
        continue;
      }
      const int hi = hexDigitValue(t_[p]);
      if (hi < 0) return false;
      int byte = hi;
      ++p;
      if (p < t_.size() && hexDigitValue(t_[p]) >= 0) {
        byte = (byte << 4) | hexDigitValue(t_[p]);
        ++p;
      }
      out.push_back(static_cast<char>(byte));
      while (p < t_.size() && isBlank(t_[p])) ++p;
      if (p < t_.size() && t_[p] == ',') ++p;
      else if (p < t_.size() && t_[p] != '\r' && t_[p] != '\n' && t_[p] != '\\') return false;
    }
  }

  std::string_view t_;
};

// Splits "HKEY_CURRENT_USER\Software\..." into its components; false when one is not a valid name.
bool splitFullPath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  size_t pos = 0;
  while (true) {
    if (parts.size() > kMaxKeyDepth) return false;
    size_t end = path.find('\\', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (!isValidKeyName(part)) return false;
    parts.push_back(part);
    if (end == path.size()) return true;
    pos = end + 1;
  }
}

// ---- writing ----

// Names and kept lines as well-formed UTF-8, so that the file as a whole
// reads back as UTF-8: an unpaired surrogate (from a UTF-16 file) becomes
// U+FFFD, a stray byte its Windows-1252 character. The reader applies it to
// names and kept lines too, so that what it holds is what a save writes and
// reads back (only string data keeps unpaired surrogates: it is UTF-16).
std::string wellFormed(std::string_view s) { return isValidUtf8(s) ? std::string(s) : utf16LeToUtf8(utf8ToUtf16Le(s)); }

std::string quote(std::string_view text) {
  const std::string s = wellFormed(text);
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool hasControlCharacter(std::string_view utf8) {
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) return true;
  }
  return false;
}

// The text of a REG_SZ that can be written in the quoted form, or nothing.
std::optional<std::string> plainString(const std::string& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  if (data[data.size() - 1] != '\0' || data[data.size() - 2] != '\0') return std::nullopt;
  const std::string_view body(data.data(), data.size() - 2);
  if (!isWellFormedUtf16Le(body)) return std::nullopt;
  std::string text = utf16LeToUtf8(body);
  if (hasControlCharacter(text)) return std::nullopt;  // also catches an embedded NUL
  return text;
}

void appendHex(std::string& out, size_t lineStart, const std::string& data) {
  static const char* digits = "0123456789abcdef";
  size_t col = out.size() - lineStart;
  for (size_t i = 0; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
    col += 2;
    if (i + 1 < data.size()) {
      out.push_back(',');
      ++col;
      if (col >= 76) {
        out += "\\\n  ";
        col = 2;
      }
    }
  }
}

void writeValue(std::string& out, const std::string& name, const RegValue& v) {
  const size_t lineStart = out.size();
  out += name.empty() ? std::string("@") : quote(name);
  out.push_back('=');
  if (v.type == kRegSz) {
    if (auto text = plainString(v.data)) {
      out += quote(*text);
      out.push_back('\n');
      return;
    }
  }
  if (v.type == kRegDword && v.data.size() == 4) {
    uint32_t d = 0;
    for (int k = 0; k < 4; ++k) d |= static_cast<uint32_t>(static_cast<unsigned char>(v.data[k])) << (8 * k);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    out += buf;
  } else if (v.type == kRegBinary) {
    out += "hex:";
    appendHex(out, lineStart, v.data);
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
    appendHex(out, lineStart, v.data);
  }
  out.push_back('\n');
}

void writeNode(std::string& out, const RegNode& node, const std::string& path) {
  if (node.listed || !node.values.empty() || !node.extraLines.empty()) {
    out += "[" + wellFormed(path) + "]\n";
    // Unknown lines go back among the values where they stood. Two that
    // stood apart (in two sections of the key, or with a value since
    // deleted between them), and one and a default value after it, are kept
    // apart by the key line written again: a line that starts a key ends any
    // quoted text.
    size_t next = 0;
    bool lastKept = false;
    for (size_t i = 0; i <= node.values.size(); ++i) {
      while (next < node.extraLines.size() && (node.extraLines[next].place <= i || i == node.values.size())) {
        const RawLine& line = node.extraLines[next++];
        if (lastKept && !line.followsKept) out += "[" + wellFormed(path) + "]\n";
        out += wellFormed(line.text) + "\n";
        lastKept = true;
      }
      if (i < node.values.size()) {
        // "@=" holds no quote to end an open one, as a named value's line does.
        if (lastKept && node.values[i].first.empty()) out += "[" + wellFormed(path) + "]\n";
        writeValue(out, node.values[i].first, node.values[i].second);
        lastKept = false;
      }
    }
    out += "\n";
  }
  for (const auto& c : node.children) writeNode(out, c, path + "\\" + c.name);
}

}  // namespace

bool parseRegistryFile(std::string_view bytes, RegNode& root, std::string& error) {
  const std::string text = decodeFileText(bytes);
  const Parser parser(text);
  size_t p = 0;
  // Header: the first line that is not blank.
  while (p < text.size()) {
    const std::string_view l = parser.line(p);
    if (!trimControl(l).empty()) break;
    p = parser.lineEnd(p) + 1;
  }
  if (p >= text.size()) return true;  // empty file: an empty store
  const std::string header = trimControl(parser.line(p));
  if (header != kHeader5 && header != kHeader4) {
    error = "not a registry export file (first line: \"" + utf8Cut(header, 60) + "\")";
    return false;
  }
  p = parser.lineEnd(p) + 1;

  RegNode* current = nullptr;
  std::vector<std::string_view> parts;
  size_t keys = 0;
  bool lastKept = false;  // the last line that was not blank was kept
  while (p < text.size()) {
    const std::string_view l = parser.line(p);
    size_t lead = 0;
    while (lead < l.size() && isBlank(l[lead])) ++lead;
    const std::string_view body = l.substr(lead);
    size_t next = parser.lineEnd(p) + 1;
    bool known = false;
    if (body.empty()) {
      known = true;
    } else if (body[0] == '[') {
      // The key path runs to the last "]" of the line, so names may hold "]".
      // The lines after a key line that is not valid (a deletion "[-...]",
      // an empty or NUL-holding name, text after the "]") belong to no key:
      // they are kept as lines, never applied to the key before.
      current = nullptr;
      const size_t close = body.rfind(']');
      if (close != std::string_view::npos && close > 1 && body[1] != '-' &&
          trimControl(body.substr(close + 1)).empty() && splitFullPath(body.substr(1, close - 1), parts)) {
        current = &root;
        for (const auto& raw : parts) {
          const std::string part = wellFormed(raw);
          RegNode* existing = current->child(part);
          if (!existing && ++keys > kMaxStoreKeys) {
            error = "more than " + std::to_string(kMaxStoreKeys) + " keys";
            return false;
          }
          current = existing ? existing : &current->childOrCreate(part);
        }
        current->listed = true;
        known = true;
      }
    } else if ((body[0] == '"' || body[0] == '@') && current) {
      std::string name;
      RegValue v;
      size_t after = 0;
      if (parser.value(p + lead, name, v, after)) {
        name = wellFormed(name);
        if (current->values.size() >= kMaxValuesPerKey && !current->value(name)) {
          error = "more than " + std::to_string(kMaxValuesPerKey) + " values in one key";
          return false;
        }
        readValueAgain(*current, name, v);
        next = after;
        known = true;
      }
    }
    if (!known) {
      RegNode& owner = current ? *current : root;
      owner.extraLines.push_back({owner.values.size(), wellFormed(l), lastKept && current != nullptr});
      lastKept = true;
    } else if (!body.empty()) {
      lastKept = false;
    }
    p = next;
  }
  return true;
}

std::string serializeRegistryFile(const RegNode& root) {
  std::string out(kHeader5);
  out += "\n\n";
  // Lines that belong to no key (before the first key, or after a key line
  // that is not valid) stand before every key, where they read back the same.
  for (const auto& l : root.extraLines) out += wellFormed(l.text) + "\n";
  if (!root.extraLines.empty()) out += "\n";
  for (const auto& hive : root.children) writeNode(out, hive, hive.name);
  return out;
}

}  // namespace brivane
