#include "markup/markup_parser.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>

#include "common/text.h"

namespace brivane {
namespace {

struct Entity {
  std::string_view name;  // with "&" and ";"
  std::string_view utf8;
};

constexpr std::array<Entity, 12> kEntities{{
    {"&amp;", "&"},
    {"&lt;", "<"},
    {"&gt;", ">"},
    {"&quot;", "\""},
    {"&nbsp;", "\xC2\xA0"},
    {"&copy;", "\xC2\xA9"},
    {"&reg;", "\xC2\xAE"},
    {"&trade;", "\xE2\x84\xA2"},
    {"&euro;", "\xE2\x82\xAC"},
    {"&sect;", "\xC2\xA7"},
    {"&para;", "\xC2\xB6"},
    {"&permil;", "\xE2\x80\xB0"},
}};

const Entity* entityAt(std::string_view text) {
  for (const Entity& e : kEntities) {
    if (text.substr(0, e.name.size()) == e.name) return &e;
  }
  return nullptr;
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Tag and attribute names: ASCII letters, digits, "-" and "_" (whatever the
// locale says a letter is).
bool isNameChar(char c) { return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Appends decoded text, turning control characters into spaces so that no
// line break or escape code reaches the painter.
void appendText(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Copy the run up to the next entity or control character at once.
    size_t run = i;
    while (run < text.size()) {
      const unsigned char u = static_cast<unsigned char>(text[run]);
      if (u == '&' || u < 0x20 || u == 0x7F) break;
      ++run;
    }
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size()) break;
    if (text[i] == '&') {
      if (const Entity* e = entityAt(text.substr(i))) {
        out += e->utf8;
        i += e->name.size();
        continue;
      }
      out += '&';
    } else {
      out += ' ';
    }
    ++i;
  }
}

// Parses the inside of a tag ("b", "/font", "img src=\"x\"") starting after
// "<"; returns false when it is not a tag.
bool parseTag(std::string_view body, MarkupToken& tok) {
  size_t i = 0;
  tok.kind = MarkupToken::Kind::Tag;
  tok.closing = false;
  tok.attributes.clear();
  if (i < body.size() && body[i] == '/') {
    tok.closing = true;
    ++i;
  }
  size_t start = i;
  while (i < body.size() && isNameChar(body[i])) ++i;
  if (i == start || !isAsciiLetter(body[start])) return false;
  tok.text = asciiLower(body.substr(start, i - start));
  while (i < body.size()) {
    while (i < body.size() && (isSpace(body[i]) || body[i] == '/')) ++i;
    size_t nameStart = i;
    while (i < body.size() && isNameChar(body[i])) ++i;
    if (i == nameStart) {
      ++i;  // a stray character inside a tag is skipped
      continue;
    }
    MarkupAttribute attr;
    attr.name = asciiLower(body.substr(nameStart, i - nameStart));
    while (i < body.size() && isSpace(body[i])) ++i;
    if (i < body.size() && body[i] == '=') {
      ++i;
      while (i < body.size() && isSpace(body[i])) ++i;
      std::string_view raw;
      if (i < body.size() && (body[i] == '"' || body[i] == '\'')) {
        char quote = body[i++];
        size_t end = body.find(quote, i);
        if (end == std::string_view::npos) end = body.size();
        raw = body.substr(i, end - i);
        i = end < body.size() ? end + 1 : end;
      } else {
        size_t vs = i;
        while (i < body.size() && !isSpace(body[i])) ++i;
        raw = body.substr(vs, i - vs);
      }
      appendText(attr.value, raw);
    }
    tok.attributes.push_back(std::move(attr));
  }
  return true;
}

// Finds the ">" that ends a tag opened at `from`, skipping quoted values by
// the rule parseTag reads them with: a value in double or single quotes
// starts right after "=" and blanks. A quote anywhere else is an ordinary
// character.
size_t tagEnd(std::string_view s, size_t from) {
  bool afterEquals = false;
  for (size_t i = from; i < s.size(); ++i) {
    const char c = s[i];
    if (afterEquals && (c == '"' || c == '\'')) {
      const size_t close = s.find(c, i + 1);
      if (close == std::string_view::npos) return std::string_view::npos;  // never closed: not a tag
      i = close;
      afterEquals = false;
      continue;
    }
    if (c == '>') return i;
    if (c == '<') return std::string_view::npos;  // a new "<" before ">": not a tag
    if (c == '=') afterEquals = true;
    else if (!isSpace(c)) afterEquals = false;
  }
  return std::string_view::npos;
}

}  // namespace

const std::string* MarkupToken::attribute(std::string_view name) const {
  for (const MarkupAttribute& a : attributes) {
    if (a.name == name) return &a.value;
  }
  return nullptr;
}

void forEachMarkupToken(std::string_view markup, const std::function<void(MarkupToken&)>& visit) {
  if (markup.size() > kMaxMarkupBytes) {
    size_t cut = kMaxMarkupBytes;
    while (cut > 0 && (static_cast<unsigned char>(markup[cut]) & 0xC0) == 0x80) --cut;
    markup = markup.substr(0, cut);
  }
  // One token of each kind, filled again for every token: their strings and
  // attribute list keep their room, so a row costs few allocations.
  MarkupToken text;
  MarkupToken tag;
  tag.attributes.reserve(4);
  auto flushText = [&] {
    if (text.text.empty()) return;
    visit(text);
    text.text.clear();
  };
  size_t i = 0;
  while (i < markup.size()) {
    size_t lt = markup.find('<', i);
    if (lt == std::string_view::npos) {
      appendText(text.text, markup.substr(i));
      break;
    }
    appendText(text.text, markup.substr(i, lt - i));
    size_t gt = tagEnd(markup, lt + 1);
    if (gt != std::string_view::npos && parseTag(markup.substr(lt + 1, gt - lt - 1), tag)) {
      flushText();
      visit(tag);
      i = gt + 1;
    } else {
      text.text += '<';
      i = lt + 1;
    }
  }
  flushText();
}

std::vector<MarkupToken> parseMarkup(std::string_view markup) {
  std::vector<MarkupToken> tokens;
  forEachMarkupToken(markup, [&](MarkupToken& t) { tokens.push_back(t); });
  return tokens;
}

std::string decodeEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendText(out, text);
  return out;
}

size_t entityLength(std::string_view text) {
  const Entity* e = entityAt(text);
  return e != nullptr ? e->name.size() : 0;
}

void AppendEscapedMarkup(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + text.size() / 8);
  size_t i = 0;
  while (i < text.size()) {
    size_t run = i;
    while (run < text.size() && text[run] != '&' && text[run] != '<' && text[run] != '>' && text[run] != '"') ++run;
    out.append(text.data() + i, run - i);
    if (run == text.size()) break;
    switch (text[run]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += "&quot;"; break;
    }
    i = run + 1;
  }
}

std::string EscapeMarkup(std::string_view text) {
  std::string out;
  AppendEscapedMarkup(out, text);
  return out;
}

std::vector<std::string_view> markupTextUnits(std::string_view text) {
  std::vector<std::string_view> units;
  size_t i = 0;
  while (i < text.size()) {
    size_t n = 0;
    if (text[i] == '&') n = entityLength(text.substr(i));
    if (n == 0) n = utf8SequenceLength(text.substr(i));
    if (n == 0) n = 1;
    units.push_back(text.substr(i, n));
    i += n;
  }
  return units;
}

}  // namespace brivane
