#include "protocols/message_preview.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "protocols/header_decoder.h"

namespace brivane {
namespace {

// Nesting deeper than this is not searched for a text part.
constexpr int kMaxDepth = 32;

// Releases a GObject reference at the end of a scope.
template <class T>
struct Ref {
  T* p;
  explicit Ref(T* object) : p(object) {}
  ~Ref() {
    if (p) g_object_unref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
};

// The first leaf part of content type text/`subtype` that is no
// attachment, in document order; nullptr when there is none.
GMimePart* findTextPart(GMimeObject* object, const char* subtype, int depth) {
  if (!object || depth > kMaxDepth) return nullptr;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i)
      if (GMimePart* part = findTextPart(g_mime_multipart_get_part(multipart, i), subtype, depth + 1)) return part;
    return nullptr;
  }
  if (!GMIME_IS_PART(object)) return nullptr;  // an attached message is not this message's text
  GMimePart* part = GMIME_PART(object);
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (!type || !g_mime_content_type_is_type(type, "text", subtype)) return nullptr;
  if (g_mime_part_is_attachment(part)) return nullptr;
  return part;
}

// The part's content with its transfer encoding undone, converted to UTF-8.
std::string decodedText(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return {};
  Ref<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, out.p);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.p));
  const std::string_view raw(reinterpret_cast<const char*>(bytes->data), bytes->len);
  const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  return charsetToUtf8(raw, charset ? charset : "");
}

// White space runs (no-break spaces and control characters included) as one
// blank, trimmed, at most maxChars characters.
std::string collapsed(std::string_view text, size_t maxChars) {
  std::string out;
  size_t chars = 0;
  bool blank = false;
  for (size_t i = 0; i < text.size() && chars < maxChars;) {
    size_t len = 0;
    const char32_t cp = decodeUtf8(text.substr(i), len);
    // A byte that begins no sequence cannot occur after conversion; kept safe.
    const bool space = len != 0 && (isControlChar(cp) || cp == U' ' || cp == 0xA0);
    if (len == 0) len = 1;
    if (space) {
      blank = !out.empty();
    } else {
      if (blank) {
        if (chars + 1 >= maxChars) break;  // no blank at the end of a cut preview
        out += ' ';
        ++chars;
        blank = false;
      }
      out.append(text.substr(i, len));
      ++chars;
    }
    i += len;
  }
  return out;
}

bool isBlockTag(std::string_view name) {
  static const char* const kBlocks[] = {"address", "article", "aside",  "blockquote", "br",     "center", "dd",
                                        "div",     "dl",      "dt",     "footer",     "form",   "h1",     "h2",
                                        "h3",      "h4",      "h5",     "h6",         "header", "hr",     "li",
                                        "nav",     "ol",      "p",      "pre",        "section", "table", "tbody",
                                        "td",      "th",      "thead",  "tr",         "ul",     "img"};
  for (const char* block : kBlocks)
    if (name == block) return true;
  return false;
}

// Elements whose content is no text of the message.
bool isDroppedElement(std::string_view name) {
  return name == "style" || name == "script" || name == "head" || name == "title";
}

// Position just behind the ">" that ends the tag starting at html[at]
// ("<"), with quoted attribute values skipped; npos when it never ends.
size_t tagEnd(std::string_view html, size_t at) {
  char quote = 0;
  for (size_t i = at + 1; i < html.size(); ++i) {
    const char c = html[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// Appends the character of the entity at html[at] ("&") and returns the
// position behind it; an entity it does not know is copied as it stands.
size_t appendEntity(std::string_view html, size_t at, std::string& out) {
  static const std::unordered_map<std::string_view, char32_t> kNamed = {
      {"amp", U'&'},     {"lt", U'<'},      {"gt", U'>'},      {"quot", U'"'},    {"apos", U'\''},
      {"nbsp", U' '},    {"euro", U'€'},    {"copy", U'©'},    {"reg", U'®'},     {"trade", U'™'},
      {"hellip", U'…'},  {"mdash", U'—'},   {"ndash", U'–'},   {"lsquo", U'‘'},   {"rsquo", U'’'},
      {"ldquo", U'“'},   {"rdquo", U'”'},   {"laquo", U'«'},   {"raquo", U'»'},   {"bull", U'•'},
      {"middot", U'·'},  {"auml", U'ä'},    {"ouml", U'ö'},    {"uuml", U'ü'},    {"Auml", U'Ä'},
      {"Ouml", U'Ö'},    {"Uuml", U'Ü'},    {"szlig", U'ß'},   {"eacute", U'é'},  {"egrave", U'è'},
      {"Eacute", U'É'},  {"agrave", U'à'},  {"aacute", U'á'},  {"ccedil", U'ç'},  {"iacute", U'í'},
      {"oacute", U'ó'},  {"uacute", U'ú'},  {"ntilde", U'ñ'},  {"ecirc", U'ê'},   {"deg", U'°'},
      {"shy", 0},        {"zwnj", 0},       {"zwj", 0},
  };
  // Only the next 12 bytes are searched: a "&" without ";" costs no scan of
  // the rest of the document.
  const size_t found = html.substr(at + 1, 12).find(';');
  if (found == std::string_view::npos) {
    out += '&';
    return at + 1;
  }
  const size_t semi = at + 1 + found;
  const std::string_view name = html.substr(at + 1, semi - at - 1);
  if (!name.empty() && name[0] == '#') {
    char32_t cp = 0;
    const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
    const std::string_view digits = name.substr(hex ? 2 : 1);
    bool ok = !digits.empty();
    for (char d : digits) {
      const int v = hex ? hexDigitValue(d) : (d >= '0' && d <= '9' ? d - '0' : -1);
      if (v < 0 || cp > 0x10FFFF) {
        ok = false;
        break;
      }
      cp = cp * (hex ? 16 : 10) + static_cast<char32_t>(v);
    }
    if (ok) {
      appendUtf8(out, cp == 0 ? U'\uFFFD' : cp);
      return semi + 1;
    }
  } else if (auto it = kNamed.find(name); it != kNamed.end()) {
    if (it->second) appendUtf8(out, it->second);
    return semi + 1;
  }
  out += '&';
  return at + 1;
}

}  // namespace

void ensureGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

namespace {

// Counts the bytes one reduction looks at: every byte is looked at a bounded
// number of times, which the fuzz target checks.
struct StepCount {
  size_t* steps;
  void add(size_t n) const {
    if (steps) *steps += n;
  }
};

// Position of the first "</name" (any case) at or after `from`; npos when
// there is none. Looks at the bytes up to the match once.
size_t findEndTag(std::string_view html, size_t from, std::string_view name, const StepCount& count) {
  size_t i = from;
  while ((i = html.find("</", i)) != std::string_view::npos) {
    if (html.size() - i - 2 >= name.size() && equalsIgnoreCase(html.substr(i + 2, name.size()), name)) break;
    i += 2;
  }
  count.add((i == std::string_view::npos ? html.size() : i) - from);
  return i;
}

// Position of the first "<body" (any case) at or after `from`; npos when none.
size_t findBodyTag(std::string_view html, size_t from, const StepCount& count) {
  size_t i = from;
  while ((i = html.find('<', i)) != std::string_view::npos) {
    if (html.size() - i > 5 && equalsIgnoreCase(html.substr(i + 1, 4), "body")) break;
    ++i;
  }
  count.add((i == std::string_view::npos ? html.size() : i) - from);
  return i;
}

}  // namespace

std::string htmlToText(std::string_view html, size_t* steps) {
  const StepCount count{steps};
  std::string out;
  out.reserve(html.size() / 2);
  size_t i = 0;
  bool headCutOff = false;  // a <head> the kept bytes end in: its text is read
  // Dropped elements whose end tag was looked for to the end of the text and
  // not found: a later element of the same name has none either, and looking
  // again would read the rest once more for each of them.
  std::vector<std::string> noEndTag;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '&') {
      const size_t next = appendEntity(html, i, out);
      count.add(std::min<size_t>(html.size() - i, 13));  // the ";" search looks 12 bytes ahead at most
      i = next;
      continue;
    }
    if (c != '<') {
      out += c;
      count.add(1);
      ++i;
      continue;
    }
    if (html.substr(i, 4) == "<!--") {
      const size_t end = html.find("-->", i + 4);
      const size_t next = end == std::string_view::npos ? html.size() : end + 3;
      count.add(next - i);
      i = next;
      continue;
    }
    const size_t end = tagEnd(html, i);
    count.add((end == std::string_view::npos ? html.size() : end) - i);
    if (end == std::string_view::npos) break;  // a tag cut off with the body
    size_t n = i + 1;
    const bool closing = n < end && html[n] == '/';
    if (closing) ++n;
    size_t nameEnd = n;
    while (nameEnd < end && std::isalnum(static_cast<unsigned char>(html[nameEnd]))) ++nameEnd;
    const std::string name = asciiLower(html.substr(n, nameEnd - n));
    i = end;
    if (!closing && isDroppedElement(name) && !(headCutOff && name == "title")) {
      // Up to the element's end tag.
      const bool noEnd = std::find(noEndTag.begin(), noEndTag.end(), name) != noEndTag.end();
      const size_t close = noEnd ? std::string_view::npos : findEndTag(html, i, name, count);
      if (close == std::string_view::npos) {
        if (!noEnd) noEndTag.push_back(name);
        if (name != "head" || headCutOff) break;  // the rest is the element's
        // A head the kept bytes end in: the text after it when a <body>
        // follows, else the head's own words (its title), styles and
        // scripts still dropped.
        const size_t body = findBodyTag(html, i, count);
        if (body == std::string_view::npos) headCutOff = true;
        else i = body;
        continue;
      }
      const size_t after = tagEnd(html, close);
      count.add((after == std::string_view::npos ? html.size() : after) - close);
      if (after == std::string_view::npos) break;
      i = after;
      out += ' ';
      continue;
    }
    if (isBlockTag(name)) out += ' ';
  }
  return out;
}

std::string messagePreviewText(std::string_view header, std::string_view body, size_t maxChars) {
  ensureGMime();
  while (!header.empty() && (header.back() == '\n' || header.back() == '\r')) header.remove_suffix(1);
  std::string bytes;
  bytes.reserve(header.size() + body.size() + 40);
  // Without a header the kept text is read as plain text.
  bytes.append(header.empty() ? std::string_view("Content-Type: text/plain") : header);
  bytes += "\r\n\r\n";
  bytes.append(body);

  Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.p));
  Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.p, nullptr));
  if (!message.p) return {};
  GMimeObject* top = g_mime_message_get_mime_part(message.p);
  if (GMimePart* plain = findTextPart(top, "plain", 0)) return collapsed(decodedText(plain), maxChars);
  if (GMimePart* html = findTextPart(top, "html", 0)) return collapsed(htmlToText(decodedText(html)), maxChars);
  return {};
}

}  // namespace brivane
