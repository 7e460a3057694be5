#include "protocols/header_decoder.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <utility>

#include "common/text.h"

namespace brivane {
namespace {

bool decodeQ(std::string_view in, std::string& out) {
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=') {
      if (i + 2 >= in.size()) return false;
      int hi = hexDigitValue(in[i + 1]), lo = hexDigitValue(in[i + 2]);
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

// The label table of the WHATWG Encoding Standard, which browsers and
// current mail programs follow: a label names the larger charset that mail
// so labelled is written in (ISO-8859-1 and US-ASCII mean windows-1252,
// Shift_JIS CP932, EUC-KR CP949, GB2312 GB18030, TIS-620 windows-874), here
// by its iconv name. Sorted by label (lower case) for a binary search.
// Labels the standard maps to "replacement" are left out, so they keep the
// decoding below, as do labels it does not list (UTF-7 among them).
constexpr std::pair<std::string_view, std::string_view> kEncodingLabels[] = {
      {"866", "IBM866"}, {"ansi_x3.4-1968", "CP1252"}, {"arabic", "ISO-8859-6"}, {"ascii", "CP1252"},
      {"asmo-708", "ISO-8859-6"}, {"big5", "BIG5-HKSCS"}, {"big5-hkscs", "BIG5-HKSCS"}, {"chinese", "GB18030"},
      {"cn-big5", "BIG5-HKSCS"}, {"cp1250", "CP1250"}, {"cp1251", "CP1251"}, {"cp1252", "CP1252"},
      {"cp1253", "CP1253"}, {"cp1254", "CP1254"}, {"cp1255", "CP1255"}, {"cp1256", "CP1256"}, {"cp1257", "CP1257"},
      {"cp1258", "CP1258"}, {"cp819", "CP1252"}, {"cp866", "IBM866"}, {"csbig5", "BIG5-HKSCS"}, {"cseuckr", "CP949"},
      {"cseucpkdfmtjapanese", "EUC-JP"}, {"csgb2312", "GB18030"}, {"csibm866", "IBM866"},
      {"csiso2022jp", "ISO-2022-JP"}, {"csiso58gb231280", "GB18030"}, {"csiso88596e", "ISO-8859-6"},
      {"csiso88596i", "ISO-8859-6"}, {"csiso88598e", "ISO-8859-8"}, {"csiso88598i", "ISO-8859-8"},
      {"csisolatin1", "CP1252"}, {"csisolatin2", "ISO-8859-2"}, {"csisolatin3", "ISO-8859-3"},
      {"csisolatin4", "ISO-8859-4"}, {"csisolatin5", "CP1254"}, {"csisolatin6", "ISO-8859-10"},
      {"csisolatin9", "ISO-8859-15"}, {"csisolatinarabic", "ISO-8859-6"}, {"csisolatincyrillic", "ISO-8859-5"},
      {"csisolatingreek", "ISO-8859-7"}, {"csisolatinhebrew", "ISO-8859-8"}, {"cskoi8r", "KOI8-R"},
      {"csksc56011987", "CP949"}, {"csmacintosh", "MACINTOSH"}, {"csshiftjis", "CP932"}, {"csunicode", "UTF-16LE"},
      {"cyrillic", "ISO-8859-5"}, {"dos-874", "CP874"}, {"ecma-114", "ISO-8859-6"}, {"ecma-118", "ISO-8859-7"},
      {"elot_928", "ISO-8859-7"}, {"euc-jp", "EUC-JP"}, {"euc-kr", "CP949"}, {"gb18030", "GB18030"},
      {"gb2312", "GB18030"}, {"gb_2312", "GB18030"}, {"gb_2312-80", "GB18030"}, {"gbk", "GB18030"},
      {"greek", "ISO-8859-7"}, {"greek8", "ISO-8859-7"}, {"hebrew", "ISO-8859-8"}, {"ibm819", "CP1252"},
      {"ibm866", "IBM866"}, {"iso-10646-ucs-2", "UTF-16LE"}, {"iso-2022-jp", "ISO-2022-JP"},
      {"iso-8859-1", "CP1252"}, {"iso-8859-10", "ISO-8859-10"}, {"iso-8859-11", "CP874"},
      {"iso-8859-13", "ISO-8859-13"}, {"iso-8859-14", "ISO-8859-14"}, {"iso-8859-15", "ISO-8859-15"},
      {"iso-8859-16", "ISO-8859-16"}, {"iso-8859-2", "ISO-8859-2"}, {"iso-8859-3", "ISO-8859-3"},
      {"iso-8859-4", "ISO-8859-4"}, {"iso-8859-5", "ISO-8859-5"}, {"iso-8859-6", "ISO-8859-6"},
      {"iso-8859-6-e", "ISO-8859-6"}, {"iso-8859-6-i", "ISO-8859-6"}, {"iso-8859-7", "ISO-8859-7"},
      {"iso-8859-8", "ISO-8859-8"}, {"iso-8859-8-e", "ISO-8859-8"}, {"iso-8859-8-i", "ISO-8859-8"},
      {"iso-8859-9", "CP1254"}, {"iso-ir-100", "CP1252"}, {"iso-ir-101", "ISO-8859-2"}, {"iso-ir-109", "ISO-8859-3"},
      {"iso-ir-110", "ISO-8859-4"}, {"iso-ir-126", "ISO-8859-7"}, {"iso-ir-127", "ISO-8859-6"},
      {"iso-ir-138", "ISO-8859-8"}, {"iso-ir-144", "ISO-8859-5"}, {"iso-ir-148", "CP1254"}, {"iso-ir-149", "CP949"},
      {"iso-ir-157", "ISO-8859-10"}, {"iso-ir-58", "GB18030"}, {"iso8859-1", "CP1252"},
      {"iso8859-10", "ISO-8859-10"}, {"iso8859-11", "CP874"}, {"iso8859-13", "ISO-8859-13"},
      {"iso8859-14", "ISO-8859-14"}, {"iso8859-15", "ISO-8859-15"}, {"iso8859-2", "ISO-8859-2"},
      {"iso8859-3", "ISO-8859-3"}, {"iso8859-4", "ISO-8859-4"}, {"iso8859-5", "ISO-8859-5"},
      {"iso8859-6", "ISO-8859-6"}, {"iso8859-7", "ISO-8859-7"}, {"iso8859-8", "ISO-8859-8"}, {"iso8859-9", "CP1254"},
      {"iso88591", "CP1252"}, {"iso885910", "ISO-8859-10"}, {"iso885911", "CP874"}, {"iso885913", "ISO-8859-13"},
      {"iso885914", "ISO-8859-14"}, {"iso885915", "ISO-8859-15"}, {"iso88592", "ISO-8859-2"},
      {"iso88593", "ISO-8859-3"}, {"iso88594", "ISO-8859-4"}, {"iso88595", "ISO-8859-5"}, {"iso88596", "ISO-8859-6"},
      {"iso88597", "ISO-8859-7"}, {"iso88598", "ISO-8859-8"}, {"iso88599", "CP1254"}, {"iso_8859-1", "CP1252"},
      {"iso_8859-15", "ISO-8859-15"}, {"iso_8859-1:1987", "CP1252"}, {"iso_8859-2", "ISO-8859-2"},
      {"iso_8859-2:1987", "ISO-8859-2"}, {"iso_8859-3", "ISO-8859-3"}, {"iso_8859-3:1988", "ISO-8859-3"},
      {"iso_8859-4", "ISO-8859-4"}, {"iso_8859-4:1988", "ISO-8859-4"}, {"iso_8859-5", "ISO-8859-5"},
      {"iso_8859-5:1988", "ISO-8859-5"}, {"iso_8859-6", "ISO-8859-6"}, {"iso_8859-6:1987", "ISO-8859-6"},
      {"iso_8859-7", "ISO-8859-7"}, {"iso_8859-7:1987", "ISO-8859-7"}, {"iso_8859-8", "ISO-8859-8"},
      {"iso_8859-8:1988", "ISO-8859-8"}, {"iso_8859-9", "CP1254"}, {"iso_8859-9:1989", "CP1254"}, {"koi", "KOI8-R"},
      {"koi8", "KOI8-R"}, {"koi8-r", "KOI8-R"}, {"koi8-ru", "KOI8-U"}, {"koi8-u", "KOI8-U"}, {"koi8_r", "KOI8-R"},
      {"korean", "CP949"}, {"ks_c_5601-1987", "CP949"}, {"ks_c_5601-1989", "CP949"}, {"ksc5601", "CP949"},
      {"ksc_5601", "CP949"}, {"l1", "CP1252"}, {"l2", "ISO-8859-2"}, {"l3", "ISO-8859-3"}, {"l4", "ISO-8859-4"},
      {"l5", "CP1254"}, {"l6", "ISO-8859-10"}, {"l9", "ISO-8859-15"}, {"latin1", "CP1252"}, {"latin2", "ISO-8859-2"},
      {"latin3", "ISO-8859-3"}, {"latin4", "ISO-8859-4"}, {"latin5", "CP1254"}, {"latin6", "ISO-8859-10"},
      {"logical", "ISO-8859-8"}, {"mac", "MACINTOSH"}, {"macintosh", "MACINTOSH"}, {"ms932", "CP932"},
      {"ms_kanji", "CP932"}, {"shift-jis", "CP932"}, {"shift_jis", "CP932"}, {"sjis", "CP932"},
      {"sun_eu_greek", "ISO-8859-7"}, {"tis-620", "CP874"}, {"ucs-2", "UTF-16LE"}, {"unicode", "UTF-16LE"},
      {"unicode-1-1-utf-8", "UTF-8"}, {"unicode11utf8", "UTF-8"}, {"unicode20utf8", "UTF-8"},
      {"unicodefeff", "UTF-16LE"}, {"unicodefffe", "UTF-16BE"}, {"us-ascii", "CP1252"}, {"utf-16", "UTF-16LE"},
      {"utf-16be", "UTF-16BE"}, {"utf-16le", "UTF-16LE"}, {"utf-8", "UTF-8"}, {"utf8", "UTF-8"},
      {"visual", "ISO-8859-8"}, {"windows-1250", "CP1250"}, {"windows-1251", "CP1251"}, {"windows-1252", "CP1252"},
      {"windows-1253", "CP1253"}, {"windows-1254", "CP1254"}, {"windows-1255", "CP1255"}, {"windows-1256", "CP1256"},
      {"windows-1257", "CP1257"}, {"windows-1258", "CP1258"}, {"windows-31j", "CP932"}, {"windows-874", "CP874"},
      {"windows-949", "CP949"}, {"x-cp1250", "CP1250"}, {"x-cp1251", "CP1251"}, {"x-cp1252", "CP1252"},
      {"x-cp1253", "CP1253"}, {"x-cp1254", "CP1254"}, {"x-cp1255", "CP1255"}, {"x-cp1256", "CP1256"},
      {"x-cp1257", "CP1257"}, {"x-cp1258", "CP1258"}, {"x-euc-jp", "EUC-JP"}, {"x-gbk", "GB18030"},
      {"x-mac-cyrillic", "MAC-CYRILLIC"}, {"x-mac-roman", "MACINTOSH"}, {"x-mac-ukrainian", "MAC-CYRILLIC"},
      {"x-sjis", "CP932"}, {"x-unicode20utf8", "UTF-8"}, {"x-x-big5", "BIG5-HKSCS"},
};

// Labels outside that table that iconv does not know by that name.
const std::unordered_map<std::string, std::string>& charsetAliases() {
  static const std::unordered_map<std::string, std::string> aliases = {
      {"KS_C_5601", "CP949"},        {"X-WINDOWS-949", "CP949"},    {"ISO_8859-8-I", "ISO-8859-8"},
      {"X-EUC-CN", "GB18030"},       {"EUC-CN", "GB18030"},         {"X-GB2312", "GB18030"},
      {"X-WINDOWS-874", "CP874"},    {"X-MAC-CE", "MAC-CENTRALEUROPE"},
      {"X-MAC-CENTRALEURROMAN", "MAC-CENTRALEUROPE"}, {"X-MAC-ICELANDIC", "MAC-IS"},
      {"X-EUC-TW", "EUC-TW"},        {"UNICODE-1-1-UTF-7", "UTF-7"}, {"X-UTF-8", "UTF-8"},
      {"X-MS-CP932", "CP932"},
  };
  return aliases;
}

std::string normalisedCharset(std::string_view cs) {
  size_t star = cs.find('*');  // RFC 2231 language suffix
  if (star != std::string_view::npos) cs = cs.substr(0, star);
  const std::string label = asciiLower(trimControl(cs));
  const auto* end = std::end(kEncodingLabels);
  const auto* it = std::lower_bound(std::begin(kEncodingLabels), end, label,
                                    [](const auto& entry, const std::string& key) { return entry.first < key; });
  if (it != end && it->first == label) return std::string(it->second);
  std::string name = asciiUpper(label);
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
    if (isHeaderSpace(text[i])) return false;
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

}  // namespace

std::string headerPlainText(std::string_view bytes) {
  std::string out;
  appendPlain(bytes, out);
  return out;
}

std::string charsetToUtf8(std::string_view bytes, std::string_view charset) {
  // Text labelled ASCII is often UTF-8 in fact: kept when it is valid.
  const std::string label = asciiLower(trimControl(charset));
  if (label == "us-ascii" || label == "ascii" || label == "ansi_x3.4-1968") return bytesToUtf8(bytes);
  const std::string name = normalisedCharset(charset);
  if (!name.empty() && name != "UTF-8") {
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
      if (!isHeaderSpace(c)) onlySpace = false;
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

}  // namespace brivane
