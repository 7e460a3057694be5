#include "protocols/imap_parse.h"

#include <algorithm>

#include "common/text.h"
#include "protocols/imap_utf7.h"

namespace brivane {
namespace {

constexpr std::string_view kOffending = ", offending line: ";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), isDigit);
}

std::string_view skipBlanks(std::string_view s) {
  const size_t p = s.find_first_not_of(' ');
  return p == std::string_view::npos ? std::string_view() : s.substr(p);
}

std::string lineError(std::string_view text, std::string_view line) {
  std::string e(text);
  e += kOffending;
  e += line;
  return e;
}

std::vector<std::string> splitBlanks(std::string_view s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    const size_t end = std::min(s.find(' ', i), s.size());
    words.emplace_back(s.substr(i, end - i));
    i = end;
  }
  return words;
}

// Content of a quoted string starting at s[i] == '"', unescaped; i is left
// behind the closing quote (or at the end when it is missing).
std::string readQuoted(std::string_view s, size_t& i, bool& terminated) {
  std::string out;
  ++i;
  terminated = false;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      out += s[i + 1];
      i += 2;
      continue;
    }
    ++i;
    if (c == '"') {
      terminated = true;
      break;
    }
    out += c;
  }
  return out;
}

// Position of the ")" matching the "(" at s[open], counting nesting and
// skipping quoted strings; npos when it is missing.
size_t matchingParen(std::string_view s, size_t open) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = open; i < s.size(); ++i) {
    const char c = s[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return i;
    }
  }
  return std::string_view::npos;
}

// One response code such as "[UIDNEXT 4]" at the start of `text`: its name
// and its argument (without the brackets).
bool responseCode(std::string_view text, std::string_view& name, std::string_view& arg) {
  if (text.empty() || text.front() != '[') return false;
  size_t end;
  const size_t paren = text.find('(');
  const size_t close = text.find(']');
  if (paren != std::string_view::npos && paren < close) {
    const size_t match = matchingParen(text, paren);
    if (match == std::string_view::npos) return false;
    end = text.find(']', match);
  } else {
    end = close;
  }
  if (end == std::string_view::npos) return false;
  const std::string_view inner = text.substr(1, end - 1);
  const size_t blank = inner.find(' ');
  name = inner.substr(0, blank);
  arg = blank == std::string_view::npos ? std::string_view() : skipBlanks(inner.substr(blank));
  return true;
}

std::vector<std::string> parenthesisedWords(std::string_view s) {
  s = skipBlanks(s);
  if (!s.empty() && s.front() == '(') {
    const size_t close = matchingParen(s, 0);
    s = close == std::string_view::npos ? s.substr(1) : s.substr(1, close - 1);
  }
  return splitBlanks(s);
}

bool isAtomChar(unsigned char c) {
  if (c <= 0x1F || c >= 0x7F) return false;
  switch (c) {
    case '(': case ')': case '{': case ' ': case '%': case '*': case '"': case '\\': case ']':
      return false;
    default:
      return true;
  }
}

}  // namespace

bool isImapStatusWord(std::string_view w) {
  for (std::string_view word : {"OK", "NO", "BAD", "PREAUTH", "BYE", "+"})
    if (equalsIgnoreCase(w, word)) return true;
  return false;
}

bool isImapTag(std::string_view w) {
  return w.size() >= 2 && (w[0] == 'C' || w[0] == 'c') && allDigits(w.substr(1));
}

std::string_view imapFirstWord(std::string_view line) {
  return line.substr(0, line.find(' '));
}

std::string_view imapAfterFirstWord(std::string_view line) {
  const size_t blank = line.find(' ');
  return blank == std::string_view::npos ? std::string_view() : skipBlanks(line.substr(blank));
}

std::string_view imapLineKeyword(std::string_view line) {
  const std::string_view first = imapFirstWord(line);
  if (allDigits(first)) return imapFirstWord(imapAfterFirstWord(line));
  return first;
}

std::optional<std::string> parseImapCollectedLines(const std::vector<std::string>& lines,
                                                   ImapReply& reply) {
  reply = ImapReply();
  if (lines.empty())
    return std::string("Unexpected: Logic error, SetFormattedReply called with an empty list of parameters");
  const auto addText = [&](std::string_view t) {
    if (!t.empty()) reply.textLines.emplace_back(t);
  };
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::string_view rest = imapAfterFirstWord(line);
    if (rest.empty())
      return lineError("Unexpected: Non-last response line (i.e. a data line) only contained one word, "
                       "instead of a * followed by one or more words", line);
    if (imapFirstWord(line) != "*")
      return lineError("Unexpected: Non-last response line (i.e. a data line) did not start with a *", line);
    addText(rest);
  }
  const std::string& last = lines.back();
  if (last.empty())
    return lineError("Unexpected: Response (last) line was empty instead of containing a line with a "
                     "response code like OK, NO, BAD, etc", last);
  const std::string_view first = imapFirstWord(last);
  if (isImapStatusWord(first)) {
    reply.status = asciiUpper(first);
    reply.finalText = imapAfterFirstWord(last);
    addText(reply.finalText);
  } else if (first == "*") {
    if (last == "*") return lineError("Unexpected: Response (last) line contained only a *", last);
    const std::string_view rest = imapAfterFirstWord(last);
    if (rest.empty()) return lineError("Unexpected: Response (last) line contained only a * (type 2)", last);
    const std::string_view word = imapFirstWord(rest);
    if (!isImapStatusWord(word))
      return lineError("Unexpected: Response (last) line started with a * but next word was not a valid "
                       "response like OK, BAD, etc", last);
    reply.status = asciiUpper(word);
    reply.finalText = imapAfterFirstWord(rest);
    addText(reply.finalText);
  } else if (isImapTag(first)) {
    const std::string_view rest = imapAfterFirstWord(last);
    if (rest.empty())
      return lineError("Unexpected: Response (last) line started with a command reference (like C41) but "
                       "nothing else", last);
    const std::string_view word = imapFirstWord(rest);
    if (!isImapStatusWord(word))
      return lineError("Unexpected: Line starts with a command reference (like C41) but next word was not a "
                       "valid response like OK, BAD, etc", last);
    reply.status = asciiUpper(word);
    reply.finalText = imapAfterFirstWord(rest);
    if (!reply.finalText.empty()) reply.extraLines.push_back(reply.finalText);
  } else {
    return lineError("Unexpected: Line does not start with a command reference (like C41), a *, or a valid "
                     "response like OK, BAD, etc", last);
  }
  return std::nullopt;
}

void keepExpectedImapLines(ImapReply& reply, const std::vector<std::string_view>& expected) {
  std::vector<std::string> kept;
  for (std::string& line : reply.textLines) {
    const std::string_view kw = imapLineKeyword(line);
    if (std::any_of(expected.begin(), expected.end(), [&](std::string_view e) { return equalsIgnoreCase(kw, e); }))
      kept.push_back(std::move(line));
    else
      reply.extraLines.push_back(std::move(line));
  }
  reply.textLines = std::move(kept);
}

ImapLiteral findImapLiteral(std::string_view line) {
  ImapLiteral lit;
  if (line.empty() || line.back() != '}') return lit;
  const size_t open = line.rfind('{');
  if (open == std::string_view::npos) return lit;
  if (open > 0 && line[open - 1] != ' ' && line[open - 1] != '(') return lit;
  lit.offset = open;
  const std::string_view digits = line.substr(open + 1, line.size() - open - 2);
  const auto n = parseImapNumber(digits);
  if (!n) {
    lit.kind = ImapLiteral::Invalid;
    return lit;
  }
  lit.kind = ImapLiteral::Valid;
  lit.size = *n;
  return lit;
}

bool isImapDataLine(std::string_view line) {
  if (imapFirstWord(line) != "*") return false;
  const std::string_view rest = imapAfterFirstWord(line);
  return !rest.empty() && !isImapStatusWord(imapFirstWord(rest));
}

std::string imapInvalidLiteralError(std::string_view line) {
  return lineError("Unexpected: Literal size is not a number from 0 to 4294967295", line);
}

std::string imapQuotedForm(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  out += '"';
  for (char c : bytes) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::vector<std::string> tokenizeImapList(std::string_view line) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    if (line[i] == '"') {
      bool terminated;
      tokens.push_back(readQuoted(line, i, terminated));
    } else if (line[i] == '(') {
      const size_t close = matchingParen(line, i);
      if (close == std::string_view::npos) {
        tokens.emplace_back(line.substr(i + 1));
        i = line.size();
      } else {
        tokens.emplace_back(line.substr(i + 1, close - i - 1));
        i = close + 1;
      }
    } else {
      const size_t end = std::min(line.find(' ', i), line.size());
      tokens.emplace_back(line.substr(i, end - i));
      i = end;
    }
  }
  return tokens;
}

std::optional<std::string> parseImapListLine(std::string_view line) {
  const std::vector<std::string> tokens = tokenizeImapList(line);
  if (tokens.size() < 4 || !equalsIgnoreCase(tokens[0], "LIST")) return std::nullopt;
  // LIST flags delimiter name [extended data]: the name follows the delimiter,
  // byte for byte (a quoted name may end in a blank that is part of it).
  return tokens[3];
}

std::optional<uint32_t> parseImapNumber(std::string_view text) {
  if (!allDigits(text)) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

void applyImapSelect(ImapMailbox& mailbox, const ImapReply& reply) {
  const auto applyCode = [&](std::string_view text) {
    std::string_view name, arg;
    if (!responseCode(text, name, arg)) return;
    if (equalsIgnoreCase(name, "UIDVALIDITY")) {
      mailbox.uidValidity = imapFirstWord(arg);
    } else if (equalsIgnoreCase(name, "UIDNEXT")) {
      mailbox.uidNext = imapFirstWord(arg);
    } else if (equalsIgnoreCase(name, "UNSEEN")) {
      if (auto n = parseImapNumber(imapFirstWord(arg))) mailbox.firstUnseen = *n;
    } else if (equalsIgnoreCase(name, "PERMANENTFLAGS")) {
      mailbox.permanentFlags = parenthesisedWords(arg);
    } else if (startsWithIgnoreCase(name, "READ-")) {
      mailbox.readWrite = equalsIgnoreCase(name, "READ-WRITE");
    }
  };
  for (const std::string& line : reply.textLines) {
    const std::string_view first = imapFirstWord(line);
    const std::string_view kw = imapLineKeyword(line);
    if (allDigits(first)) {
      const auto n = parseImapNumber(first);
      if (n && equalsIgnoreCase(kw, "EXISTS")) mailbox.totalMessages = *n;
      if (n && equalsIgnoreCase(kw, "RECENT")) mailbox.recentMessages = *n;
    } else if (equalsIgnoreCase(kw, "FLAGS")) {
      mailbox.flags = parenthesisedWords(imapAfterFirstWord(line));
    } else if (equalsIgnoreCase(kw, "OK")) {
      applyCode(imapAfterFirstWord(line));
    }
  }
  applyCode(reply.finalText);
}

std::vector<uint32_t> parseImapSearch(const std::vector<std::string>& textLines) {
  std::vector<uint32_t> result;
  for (const std::string& line : textLines) {
    if (!equalsIgnoreCase(imapFirstWord(line), "SEARCH")) continue;
    std::string_view rest = imapAfterFirstWord(line);
    while (!rest.empty()) {
      const std::string_view word = imapFirstWord(rest);
      if (auto n = parseImapNumber(word); n && *n > 0) result.push_back(*n);
      rest = imapAfterFirstWord(rest);
    }
    break;  // only the first SEARCH line counts
  }
  return result;
}

ImapFetchParser::ImapFetchParser(std::vector<std::string> wanted) : wanted_(std::move(wanted)) {}

int ImapFetchParser::wantedIndex(std::string_view name) const {
  // A partial fetch is answered with its origin ("BODY[TEXT]<0>").
  if (name.size() > 2 && name.back() == '>' && name.rfind('<') != std::string_view::npos)
    name = name.substr(0, name.rfind('<'));
  for (size_t i = 0; i < wanted_.size(); ++i)
    if (equalsIgnoreCase(name, wanted_[i])) return static_cast<int>(i);
  return -1;
}

bool ImapFetchParser::start(std::string_view line) {
  item_ = ImapFetchItem();
  item_.values.resize(wanted_.size());
  pendingName_.clear();
  closed_ = broken_ = false;
  literalTarget_ = -1;
  const auto number = parseImapNumber(imapFirstWord(line));
  std::string_view rest = imapAfterFirstWord(line);
  if (!number || !equalsIgnoreCase(imapFirstWord(rest), "FETCH")) return false;
  item_.messageNumber = *number;
  rest = imapAfterFirstWord(rest);
  if (rest.empty() || rest.front() != '(') {
    broken_ = true;
    return true;
  }
  parseItems(rest.substr(1));
  return true;
}

void ImapFetchParser::resume(std::string_view rest) { parseItems(rest); }

void ImapFetchParser::parseItems(std::string_view s) {
  literalTarget_ = -1;
  size_t i = 0;
  while (!closed_ && !broken_) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i >= s.size()) return;
    const char c = s[i];
    if (pendingName_.empty()) {
      if (c == ')') {
        closed_ = true;
        return;
      }
      const size_t start = i;
      while (i < s.size() && s[i] != ' ' && s[i] != '(' && s[i] != ')') {
        if (s[i] == '[') {
          const size_t close = s.find(']', i);
          i = close == std::string_view::npos ? s.size() : close + 1;
        } else {
          ++i;
        }
      }
      pendingName_ = s.substr(start, i - start);
      if (pendingName_.empty()) broken_ = true;
      continue;
    }
    const int wanted = wantedIndex(pendingName_);
    ImapFetchValue* value = wanted >= 0 ? &item_.values[static_cast<size_t>(wanted)] : nullptr;
    const bool isUid = equalsIgnoreCase(pendingName_, "UID");
    const bool isFlags = equalsIgnoreCase(pendingName_, "FLAGS");
    if (c == '"') {
      bool terminated;
      std::string text = readQuoted(s, i, terminated);
      if (!terminated) {
        broken_ = true;
        return;
      }
      if (value) {
        value->kind = text.empty() ? ImapFetchValue::Nil : ImapFetchValue::Quoted;
        value->bytes = std::move(text);
      } else if (isUid) {
        item_.uid = std::move(text);
      }
    } else if (c == '(') {
      const size_t close = matchingParen(s, i);
      if (close == std::string_view::npos) {
        broken_ = true;  // a list that goes on behind a literal: not followed
        return;
      }
      if (isFlags) item_.flags = splitBlanks(s.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '{') {
      const ImapLiteral lit = findImapLiteral(s.substr(i));
      if (lit.kind != ImapLiteral::Valid || lit.offset != 0) {
        broken_ = true;
        return;
      }
      if (value) {
        value->kind = ImapFetchValue::Literal;
        value->literalSize = lit.size;
        value->bytes.clear();
        literalTarget_ = wanted;
      }
      pendingName_.clear();
      return;  // the literal's bytes follow on the wire
    } else {
      const size_t start = i;
      while (i < s.size() && s[i] != ' ' && s[i] != ')' && s[i] != '(') ++i;
      const std::string_view atom = s.substr(start, i - start);
      if (atom.empty()) {
        broken_ = true;
        return;
      }
      if (value && equalsIgnoreCase(atom, "NIL")) {
        value->kind = ImapFetchValue::Nil;
        value->bytes.clear();
      } else if (isUid) {
        item_.uid = atom;
      }
    }
    pendingName_.clear();
  }
}

std::vector<std::string> imapUidSets(std::vector<uint32_t> uids, size_t maxLength, size_t maxCount) {
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  if (!uids.empty() && uids.front() == 0) uids.erase(uids.begin());
  std::vector<std::string> sets;
  std::string current;
  size_t count = 0;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;  // the run uids[i..j] of consecutive numbers, within the count left
    const size_t room = maxCount > count ? maxCount - count : 0;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1 && j + 1 - i < room) ++j;
    std::string piece = std::to_string(uids[i]);
    if (j > i) piece += ":" + std::to_string(uids[j]);
    const size_t length = current.size() + (current.empty() ? 0 : 1) + piece.size();
    if (!current.empty() && (room == 0 || length > maxLength)) {
      sets.push_back(std::move(current));
      current.clear();
      count = 0;
      continue;  // the run starts the next set, with the whole count free
    }
    if (!current.empty()) current += ',';
    current += piece;
    count += j - i + 1;
    i = j + 1;
  }
  if (!current.empty()) sets.push_back(std::move(current));
  return sets;
}

std::optional<std::string> imapAlertText(std::string_view line) {
  const std::string_view rest = imapAfterFirstWord(line);
  if (!isImapStatusWord(imapFirstWord(rest))) return std::nullopt;
  std::string_view text = imapAfterFirstWord(rest);
  if (!startsWithIgnoreCase(text, "[ALERT]")) return std::nullopt;
  return std::string(skipBlanks(text.substr(7)));
}

std::vector<std::string> imapCapabilityCode(std::string_view text) {
  std::string_view name, arg;
  if (!responseCode(text, name, arg) || !equalsIgnoreCase(name, "CAPABILITY")) return {};
  return splitBlanks(arg);
}

std::optional<std::string> imapQuoted(std::string_view text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return std::nullopt;
  return imapQuotedForm(text);
}

std::optional<std::string> imapAstring(std::string_view text) {
  if (!text.empty() && std::all_of(text.begin(), text.end(),
                                   [](char c) { return isAtomChar(static_cast<unsigned char>(c)); }))
    return std::string(text);
  return imapQuoted(text);
}

}  // namespace brivane
