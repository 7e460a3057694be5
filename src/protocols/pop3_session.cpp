#include "protocols/pop3_session.h"

#include <algorithm>
#include <unordered_set>

#include "common/text.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

const char* const kExtendedCodes[] = {"IN-USE", "LOGIN-DELAY", "SYS/PERM", "SYS/TEMP", "AUTH"};

std::string normalisedIndicator(const std::string& written) {
  if (written == "+OK" || written == "-ERR" || written == "+") return written;
  return "-ERR";
}

// Splits a leading "[CODE]" of a known extended code off a "-ERR" text.
void splitExtendedCode(Pop3Reply& reply) {
  if (reply.indicator != "-ERR" || reply.lines.empty()) return;
  std::string& text = reply.lines.front();
  if (text.empty() || text[0] != '[') return;
  size_t close = text.find(']');
  if (close == std::string::npos) return;
  std::string code = asciiUpper(std::string_view(text).substr(1, close - 1));
  for (const char* known : kExtendedCodes) {
    if (code == known) {
      reply.extendedCode = code;
      text = trimControl(std::string_view(text).substr(close + 1));
      return;
    }
  }
}

bool hasLineBreakOrNul(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

// One line of a UIDL listing: "number id", the number 1..count (trailing
// blanks are tolerated); nothing when it is anything else.
std::optional<Pop3Uid> parseUidLine(std::string_view line, long count) {
  size_t digits = 0;
  long number = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
    if (++digits > 9) return std::nullopt;
    number = number * 10 + (line[digits - 1] - '0');
  }
  if (digits == 0 || number < 1 || number > count) return std::nullopt;
  size_t start = digits;
  while (start < line.size() && line[start] == ' ') ++start;
  if (start == digits) return std::nullopt;
  size_t end = line.size();
  while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  const std::string_view id = line.substr(start, end - start);
  if (!isValidPop3Uid(id)) return std::nullopt;
  return Pop3Uid{number, std::string(id)};
}

// True when `ids` holds each number 1..count once and no id twice.
bool coversEveryMessageOnce(std::vector<Pop3Uid>& ids, long count) {
  if (ids.size() != static_cast<size_t>(count)) return false;
  std::sort(ids.begin(), ids.end(), [](const Pop3Uid& a, const Pop3Uid& b) { return a.number < b.number; });
  std::unordered_set<std::string_view> seen;
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i].number != static_cast<long>(i) + 1 || !seen.insert(ids[i].id).second) return false;
  return true;
}

}  // namespace

Pop3ReplyLine parsePop3ReplyLine(std::string_view line) {
  Pop3ReplyLine r;
  size_t end = line.size();
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ' || (line[i] == '-' && i > 0)) {
      end = i;
      break;
    }
  }
  r.indicator = std::string(line.substr(0, end));
  if (end < line.size()) {
    r.continues = line[end] == '-';
    r.text = std::string(line.substr(end + 1));
  }
  return r;
}

Pop3Reply parsePop3Reply(std::string_view bytes) {
  Pop3Reply reply;
  bool started = false;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    std::string_view line;
    takeLine(rest, line);
    if (!started && line.empty()) continue;
    Pop3ReplyLine parsed = parsePop3ReplyLine(line);
    if (!started) {
      started = true;
      reply.indicator = normalisedIndicator(parsed.indicator);
    }
    if (reply.lines.size() < Pop3Session::kMaxReplyLines) reply.lines.push_back(parsed.text);
    else ++reply.droppedLines;
    if (!parsed.continues) break;
  }
  if (!started) reply.indicator = "-ERR";
  splitExtendedCode(reply);
  return reply;
}

long parseStatCount(std::string_view text) {
  std::string t = trimControl(text);
  if (t.empty()) return 0;
  size_t blank = t.find(' ');
  if (blank == std::string::npos) throw MalformedReplyError("Invalid STAT reply: " + t);
  std::string count = trimControl(std::string_view(t).substr(0, blank));
  if (count.empty() || count.size() > 9) throw MalformedReplyError("Invalid STAT reply: " + t);
  long n = 0;
  for (char c : count) {
    if (c < '0' || c > '9') throw MalformedReplyError("Invalid STAT reply: " + t);
    n = n * 10 + (c - '0');
  }
  return n;
}

bool isValidPop3Uid(std::string_view id) {
  return !id.empty() && id.size() <= 70 &&
         std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
}

void Pop3Session::setTlsMode(TlsMode mode) {
  if (connected()) throw TlsModeError("The TLS mode cannot change while connected.");
  if (mode == TlsMode::RequireExplicit) mode = TlsMode::Explicit;  // STLS is never optional
  if (mode == tlsMode_) return;
  port_ = mode == TlsMode::Implicit ? implicitTlsPort(kProtocol, port_) : plainPort(kProtocol, port_);
  tlsMode_ = mode;
}

Transport& Pop3Session::transport() {
  if (!transport_) throw NotConnectedError();
  return *transport_;
}

void Pop3Session::readReply() {
  Transport& t = transport();
  reply_ = Pop3Reply{};
  std::string line;
  do line = t.readReplyLine();
  while (line.empty());
  Pop3ReplyLine parsed = parsePop3ReplyLine(line);
  reply_.indicator = normalisedIndicator(parsed.indicator);
  reply_.lines.push_back(std::move(parsed.text));
  while (parsed.continues) {
    parsed = parsePop3ReplyLine(t.readReplyLine());
    if (reply_.lines.size() < kMaxReplyLines) reply_.lines.push_back(std::move(parsed.text));
    else ++reply_.droppedLines;
  }
  splitExtendedCode(reply_);
}

void Pop3Session::require(std::string_view indicator) {
  if (reply_.indicator != indicator) throw Pop3ReplyError(reply_.text(), reply_.extendedCode);
}

const Pop3Reply& Pop3Session::sendCommand(std::string_view command, std::optional<std::string_view> required) {
  Transport& t = transport();
  t.writeLine(command);
  t.beginReply();
  readReply();
  if (required) require(*required);
  return reply_;
}

void Pop3Session::connect() {
  greetingTimestamp_.clear();
  capabilities_.clear();
  hasCapabilities_ = false;
  askedCapabilitiesAfterLogin_ = false;
  if (hasLineBreakOrNul(username_) || hasLineBreakOrNul(password_)) throw UnsafeCredentialsError();
  Transport& t = transport();
  t.setHost(host_);
  t.setPort(port_);
  t.setConnectTimeout(connectTimeoutMs_);
  t.setReadTimeout(readTimeoutMs_);
  t.setPassThrough(tlsMode_ != TlsMode::Implicit);
  // An unfolded header or a one-line HTML body may exceed any line limit:
  // such lines are cut, the reply's time limit still bounds the whole.
  t.setCutLongLines(true);
  t.setMaxLineLength(kMaxLineLength);
  t.connect();

  t.beginReply();
  readReply();
  require("+OK");
  const std::string& greeting = reply_.text();
  size_t lt = greeting.find('<');
  if (lt != std::string::npos) {
    size_t gt = greeting.find('>', lt);
    if (gt != std::string::npos) greetingTimestamp_ = greeting.substr(lt, gt - lt + 1);
  }

  readCapabilities();
  if (tlsMode_ == TlsMode::Explicit) startTls();

  if (loginOnConnect_ && tokenSource_) {
    // The mechanisms are the words after "SASL" in CAPA (RFC 2449).
    bool bearer = false, xoauth2 = false;
    for (const std::string& line : capabilities_) {
      std::string_view rest = line;
      if (!equalsIgnoreCase(rest.substr(0, rest.find(' ')), "SASL")) continue;
      while (!rest.empty()) {
        const size_t blank = rest.find(' ');
        const std::string_view word = rest.substr(0, blank);
        bearer = bearer || equalsIgnoreCase(word, "OAUTHBEARER");
        xoauth2 = xoauth2 || equalsIgnoreCase(word, "XOAUTH2");
        rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
      }
    }
    if (!bearer && !xoauth2) throw OAuthNotOfferedError();
    const OAuthMechanism mechanism = bearer ? OAuthMechanism::OAuthBearer : OAuthMechanism::XOAuth2;
    if (signInLog_) signInLog_(" Signing in with " + std::string(oauthMechanismName(mechanism)));
    if (!authenticate(mechanism, tokenSource_(false)) && !authenticate(mechanism, tokenSource_(true))) require("+OK");
  } else if (loginOnConnect_) {
    sendCommand("USER " + username_, "+OK");
    sendCommand("PASS " + password_, "+OK");
  }
}

// RFC 5034 with RFC 7628: the initial response on the AUTH line when the
// line stays within 255 octets, else after the server's "+"; an error
// challenge gets the reply the mechanism asks for, and more are cancelled.
bool Pop3Session::authenticate(OAuthMechanism mechanism, const std::string& token) {
  if (hasLineBreakOrNul(token)) throw UnsafeCredentialsError();
  const std::string response = oauthInitialResponse(mechanism, username_, host_, port_, token);
  std::string line = "AUTH " + std::string(oauthMechanismName(mechanism));
  bool sent = line.size() + 1 + response.size() + 2 <= 255;
  if (sent) line += " " + response;
  Transport& t = transport();
  t.writeLine(line);
  for (int challenges = 0;; ++challenges) {
    t.beginReply();
    readReply();
    if (reply_.indicator != "+") return reply_.ok();
    if (!sent) {
      t.writeLine(response);
      sent = true;
    } else if (challenges < 2) {
      if (signInLog_) signInLog_(" The server refused the token: " + oauthErrorText(reply_.text()));
      t.writeLine(oauthErrorReply(mechanism));
    } else {
      t.writeLine("*");
    }
  }
}

void Pop3Session::readCapabilities() {
  capabilities_.clear();
  hasCapabilities_ = false;
  sendCommand("CAPA");
  if (reply_.ok()) {
    transport().capture(capabilities_, ".", true, kMaxCapabilities);
    hasCapabilities_ = true;
  }
}

bool Pop3Session::hasCapability(std::string_view name) const {
  return std::any_of(capabilities_.begin(), capabilities_.end(), [&](const std::string& line) {
    const std::string_view word = std::string_view(line).substr(0, line.find(' '));
    return equalsIgnoreCase(word, name);
  });
}

// RFC 2595 and RFC 2449: STLS must be advertised and accepted, or the
// session ends; it never goes on in plain text. The capabilities are asked
// again inside TLS, since those sent before it may have been tampered with.
void Pop3Session::startTls() {
  Transport& t = transport();
  const auto refuse = [&t](const std::string& why) {
    t.close();
    throw StartTlsError(why);
  };
  if (!hasCapability("STLS")) refuse("The server does not offer STARTTLS");
  sendCommand("STLS");
  if (!reply_.ok())
    refuse("The server does not offer STARTTLS (it answered STLS with " + reply_.indicator +
           (reply_.text().empty() ? "" : " " + reply_.text()) + ")");
  t.startTls();
  readCapabilities();
}

long Pop3Session::messageCount() {
  sendCommand("STAT", "+OK");
  return parseStatCount(reply_.text());
}

bool Pop3Session::readHeaderLines(MailMessage& message, bool stopAtEmptyLine) {
  Transport& t = transport();
  for (;;) {
    std::string line = t.readReplyLine();
    if (line == ".") return false;
    if (line.empty()) {
      if (stopAtEmptyLine) return true;
      continue;
    }
    message.addRawHeader(std::move(line));
  }
}

// With body lines the header ends at the blank line and the body follows;
// without, every line up to "." counts as header (as a header-only TOP has
// nothing else).
void Pop3Session::readTopReply(MailMessage& message, int previewLines) {
  const bool bodyFollows = readHeaderLines(message, previewLines > 0);
  message.decodeHeaders();
  if (bodyFollows) message.readBody(transport());
}

bool Pop3Session::retrieveHeader(long n, MailMessage& message) {
  message.clear();
  sendCommand("TOP " + std::to_string(n) + " 0");
  if (!reply_.ok()) return false;
  readTopReply(message, 0);
  return true;
}

Pop3UidListing Pop3Session::uidl(long count, size_t maxIds) {
  using Outcome = Pop3UidListing::Outcome;
  Pop3UidListing listing;
  sendCommand("UIDL");
  if (!reply_.ok()) return listing;
  listing.outcome = Outcome::Listed;
  const auto fail = [&listing](Outcome why) {
    listing.outcome = why;
    std::vector<Pop3Uid>().swap(listing.ids);
  };
  // The listing is read to its end whatever it holds, so that the next
  // reply is read in step; past the first fault its lines are only dropped.
  Transport& t = transport();
  for (std::string line = t.readReplyLine(); line != "."; line = t.readReplyLine()) {
    if (!listing.listed()) continue;
    if (listing.ids.size() >= maxIds) {
      fail(Outcome::TooMany);
      continue;
    }
    std::optional<Pop3Uid> entry = parseUidLine(line, count);
    if (!entry) fail(Outcome::Malformed);
    else listing.ids.push_back(std::move(*entry));
  }
  if (listing.listed() && !coversEveryMessageOnce(listing.ids, count)) fail(Outcome::Malformed);
  return listing;
}

// RFC 2449 PIPELINING: commands go out in batches while the replies of the
// earlier ones are read; the batch is refilled once half the window has been
// answered, so the server always has work queued. The window is small enough
// (a few KB of commands) that neither side can block the other on writing.
void Pop3Session::retrieveHeaders(const std::vector<long>& numbers, int previewLines,
                                  const HeaderCallback& onMessage) {
  if (numbers.empty()) return;
  if (!hasCapabilities_ && !askedCapabilitiesAfterLogin_) {
    askedCapabilitiesAfterLogin_ = true;  // refused before the login: asked once more, never again
    readCapabilities();
  }
  Transport& t = transport();
  const size_t window = pipelining() ? kPipelineCommands : 1;
  const std::string lines = " " + std::to_string(std::max(previewLines, 0));
  size_t sent = 0, answered = 0;
  MailMessage message;
  try {
    while (answered < numbers.size()) {
      if (sent - answered <= window / 2) {
        std::string batch;
        while (sent < numbers.size() && sent - answered < window) {
          std::string command = "TOP " + std::to_string(numbers[sent]) + lines + "\r\n";
          if (!batch.empty() && batch.size() + command.size() > kPipelineBytes) break;
          batch += command;
          ++sent;
        }
        if (!batch.empty()) t.write(batch);
      }
      t.beginReply();
      readReply();
      message.clear();
      const bool shown = reply_.ok();
      if (shown) readTopReply(message, previewLines);
      ++answered;
      onMessage(numbers[answered - 1], shown, message);
    }
  } catch (...) {
    if (sent > answered) t.close();  // replies outstanding (or half read): out of step
    throw;
  }
}

bool Pop3Session::retrieve(long n, MailMessage& message) {
  sendCommand("RETR " + std::to_string(n));
  if (!reply_.ok()) return false;
  message.clear();
  bool headerEndedByEmptyLine = readHeaderLines(message, true);
  message.decodeHeaders();
  if (headerEndedByEmptyLine) message.readBody(transport());
  return true;
}

void Pop3Session::disconnect() {
  Transport& t = transport();
  if (!t.connected()) {
    t.close();
    return;
  }
  bool quitOk = true;
  std::string text, code;
  try {
    sendCommand("QUIT");
    quitOk = reply_.ok();
    text = reply_.text();
    code = reply_.extendedCode;
  } catch (...) {
    t.close();
    throw;
  }
  t.close();
  if (!quitOk) throw Pop3ReplyError(text, code);
}

}  // namespace brivane
