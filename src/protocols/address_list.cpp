#include "protocols/address_list.h"

#include "common/text.h"
#include "protocols/header_decoder.h"

namespace brivane {

namespace {

// When an encoded word ("=?charset?e?text?=", no white space) starts at
// v[i], the index of its last character; else i. Mail programs write "," and
// ":" raw inside them, which must not split or group an address list.
size_t encodedWordLast(std::string_view v, size_t i) {
  if (v.substr(i, 2) != "=?") return i;
  size_t q = i + 2, marks = 0;
  for (; q + 1 < v.size(); ++q) {
    if (isHeaderSpace(v[q])) return i;
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
      a.address = trimControl(headerPlainText(addr));
      a.name = trimControl(decodeEncodedWords(trimControl(phraseText(part.substr(0, lt), nullptr))));
    } else {
      std::string comment;
      a.address = trimControl(headerPlainText(phraseText(part, &comment)));
      a.name = trimControl(decodeEncodedWords(trimControl(comment)));
    }
    if (!a.address.empty() || !a.name.empty()) list.push_back(std::move(a));
  }
  if (list.empty()) list.emplace_back();
  return list;
}

}  // namespace brivane
