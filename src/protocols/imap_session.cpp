#include "protocols/imap_session.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <optional>

#include "common/text.h"
#include "protocols/imap_utf7.h"
#include "protocols/transport.h"

namespace brivane {
namespace {

// Longest data line kept after its literals have been joined in.
constexpr size_t kMaxJoinedLine = 2 * ImapSession::kMaxLineLength;

const std::vector<std::string_view> kSelectKeywords = {"FLAGS", "OK", "EXISTS", "RECENT", "[READ-WRITE]",
                                                       "[ALERT]"};

bool hasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Removes trailing characters of code 32 or below.
void trimRight(std::string& s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.pop_back();
}

}  // namespace

std::string_view imapStateText(ImapState state) {
  switch (state) {
    case ImapState::NonAuthenticated: return "Non Authenticated";
    case ImapState::Authenticated: return "Authenticated";
    case ImapState::Selected: return "Selected";
    case ImapState::UnexpectedlyDisconnected: return "";
  }
  return "";
}

// What a FETCH command wants from its data lines: the values of `wanted`
// (each kept up to its `keep` bytes), handed to `onItem` line by line.
struct ImapSession::FetchCapture {
  std::vector<std::string> wanted;
  std::vector<size_t> keep;
  std::function<void(ImapFetchItem&)> onItem;
};

Transport& ImapSession::wire() const {
  if (!transport_) throw NotConnectedError();
  return *transport_;
}

bool ImapSession::connected() const { return transport_ && transport_->connected(); }

void ImapSession::setTlsMode(TlsMode mode) {
  if (connected()) throw TlsModeError("The TLS mode cannot change while connected.");
  if (mode == TlsMode::RequireExplicit) mode = TlsMode::Explicit;  // STARTTLS is never optional
  if (mode == tlsMode_) return;
  port_ = mode == TlsMode::Implicit ? implicitTlsPort(kProtocol, port_) : plainPort(kProtocol, port_);
  tlsMode_ = mode;
}

void ImapSession::setReadTimeout(int ms) {
  readTimeoutMs_ = ms;
  if (transport_) transport_->setReadTimeout(ms);
}

void ImapSession::setLineLimit(int ms) {
  lineLimitMs_ = ms;
  if (transport_) transport_->setLineLimit(ms);
}

void ImapSession::setReplyLimit(int ms) {
  replyLimitMs_ = ms;
  if (transport_) transport_->setReplyLimit(ms);
}

void ImapSession::lost(bool byPeer) {
  state_ = ImapState::UnexpectedlyDisconnected;
  closedByPeer_ = byPeer;
  if (transport_) transport_->close();
}

// Runs a step that talks to the server. When the connection fails under it
// (closed, reset, silent, flooded, or out of step after an unreadable
// literal) the connection is closed, so nothing more is sent on it; a reply
// of the wrong shape leaves it open.
template <typename F>
auto ImapSession::guarded(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const ImapByeError&) {
    throw;
  } catch (const MalformedReplyError&) {
    throw;
  } catch (const ReadTimeoutError&) {
    lost(false);
    throw;
  } catch (const LineTooLongError&) {
    lost(false);
    throw;
  } catch (const StopRequestedError&) {
    lost(false);
    throw;
  } catch (const CheckTimeLimitError&) {
    lost(false);
    throw;
  } catch (const TlsError&) {  // a refused certificate, a failed handshake
    lost(false);
    throw;
  } catch (const PlainTextInjectionError&) {
    lost(false);
    throw;
  } catch (const ProtocolError&) {
    lost(true);
    throw;
  }
}

void ImapSession::requireState(std::initializer_list<ImapState> accepted) const {
  if (std::find(accepted.begin(), accepted.end(), state_) == accepted.end()) throw ImapStateError(state_);
}

std::string ImapSession::nextTag() { return "C" + std::to_string(++counter_); }

std::string ImapSession::readLine() {
  for (;;) {
    std::string line = trimControl(wire().readReplyLine());
    if (!line.empty()) return line;
  }
}

// Reads a literal in pieces, so that memory grows with the bytes that
// arrive, never with the size a server announces.
std::string ImapSession::readLiteral(uint32_t size, size_t keep) {
  constexpr size_t kPiece = 64u << 10;
  Transport& t = wire();
  const int saved = t.lineLimit();
  const bool bound = readTimeoutMs_ > 0 && (saved < 0 || readTimeoutMs_ < saved);
  if (bound) t.setLineLimit(readTimeoutMs_);
  try {
    std::string bytes;
    size_t left = size;
    while (left > 0) {
      const size_t piece = std::min(left, kPiece);
      const size_t room = keep > bytes.size() ? keep - bytes.size() : 0;
      bytes += t.readBytes(piece, std::min(piece, room));
      left -= piece;
    }
    if (bound) t.setLineLimit(saved);
    return bytes;
  } catch (...) {
    if (bound) t.setLineLimit(saved);
    throw;
  }
}

// Reads the literals a data line announces, with the pieces of the line
// that follow them. A FETCH line gives its values to the capture; in other
// lines each literal is written in as a quoted string, so that a folder name
// sent as a literal reads like a quoted one.
std::string ImapSession::readDataLine(std::string line, FetchCapture* capture) {
  const std::string_view text = imapAfterFirstWord(line);
  std::optional<ImapFetchParser> parser;
  if (capture && equalsIgnoreCase(imapLineKeyword(text), "FETCH")) {
    parser.emplace(capture->wanted);
    parser->start(text);
  }
  std::string joined = line;
  std::string piece = std::move(line);
  bool joinedEndsWithPiece = true;
  for (;;) {
    const ImapLiteral lit = findImapLiteral(piece);
    if (lit.kind == ImapLiteral::None) break;
    if (lit.kind == ImapLiteral::Invalid) {
      lost(false);  // the length of what follows is unknown: out of step
      throw MalformedReplyError(imapInvalidLiteralError(piece));
    }
    if (parser && parser->literalTarget() >= 0) {
      const auto index = static_cast<size_t>(parser->literalTarget());
      ImapFetchValue& value = parser->item().values[index];
      value.bytes = readLiteral(lit.size, capture->keep[index]);
      value.truncated = lit.size > capture->keep[index];
    } else if (parser) {
      readLiteral(lit.size, 0);
    } else {
      const std::string bytes = readLiteral(lit.size, kMaxOtherLiteralBytes);
      if (joinedEndsWithPiece) {
        joined.resize(joined.size() - (piece.size() - lit.offset));
        joined += imapQuotedForm(bytes);
      }
    }
    piece = wire().readReplyLine();
    trimRight(piece);
    if (parser) parser->resume(piece);
    joinedEndsWithPiece = joined.size() + piece.size() <= kMaxJoinedLine;
    if (joinedEndsWithPiece) joined += piece;
  }
  if (parser) {
    ImapFetchItem& item = parser->item();
    for (size_t i = 0; i < item.values.size(); ++i) {
      ImapFetchValue& value = item.values[i];
      if (value.kind == ImapFetchValue::Quoted && value.bytes.size() > capture->keep[i]) {
        value.bytes.resize(capture->keep[i]);
        value.truncated = true;
      }
    }
    if (capture->onItem) capture->onItem(item);
    // The values went to the capture: the line itself need not be kept.
    return "* " + std::to_string(item.messageNumber) + " FETCH";
  }
  return joined;
}

// Reads reply lines up to and including the one `isLast` accepts, with the
// literals of data lines read by count, and parses them. Lines past the
// reply's line and byte caps are read and dropped; the last line is always kept.
ImapReply ImapSession::collectReply(const std::function<bool(const std::string&)>& isLast,
                                    FetchCapture* capture) {
  std::vector<std::string> lines;
  size_t keptBytes = 0;
  for (;;) {
    std::string line = readLine();
    reportAlert(line);
    const bool last = isLast(line);
    if (isImapDataLine(line)) line = readDataLine(std::move(line), capture);
    if (last || (lines.size() < kMaxReplyLines && keptBytes + line.size() <= kMaxReplyBytes)) {
      keptBytes += line.size();
      lines.push_back(std::move(line));
    }
    if (last) break;
  }
  ImapReply reply;
  if (auto error = parseImapCollectedLines(lines, reply)) throw MalformedReplyError(*error);
  return reply;
}

void ImapSession::readReply(const std::string& tag, const Expected& expected, FetchCapture* capture) {
  const bool byeExpected = std::find(expected.begin(), expected.end(), "BYE") != expected.end();
  ImapReply reply = collectReply(
      [&](const std::string& line) {
        if (!byeExpected && startsWithIgnoreCase(line, "* BYE")) {
          lost(true);
          throw ImapByeError();
        }
        const std::string_view first = imapFirstWord(line);
        return equalsIgnoreCase(first, tag) || isImapStatusWord(first);
      },
      capture);
  keepExpectedImapLines(reply, expected);
  reply_ = std::move(reply);
}

void ImapSession::reportAlert(const std::string& line) const {
  if (!alertHandler_) return;
  if (auto text = imapAlertText(line)) alertHandler_(trimControl(bytesToUtf8(*text)));
}

// Discards what has already reached the client, without waiting for more:
// every reply is read up to its tagged line, so only unsolicited lines can
// follow one, and a line that comes later lands in the next reply's extra
// lines all the same.
void ImapSession::drainInput(bool byeExpected) {
  Transport& t = wire();
  t.beginReply();
  try {
    while (t.inputWaiting()) {
      std::string line = trimControl(t.readReplyLine());
      reportAlert(line);
      if (!byeExpected && startsWithIgnoreCase(line, "* BYE")) {
        lost(true);
        throw ImapByeError();
      }
      if (!isImapDataLine(line)) continue;
      for (ImapLiteral lit = findImapLiteral(line); lit.kind == ImapLiteral::Valid; lit = findImapLiteral(line)) {
        readLiteral(lit.size, 0);
        line = t.readReplyLine();
        trimRight(line);
      }
    }
  } catch (const ConnectionClosedError&) {
    // The command is still sent; its write or reply reports the closed
    // connection.
  }
}

void ImapSession::sendCommand(std::string_view command, const Expected& expected, bool drain,
                              FetchCapture* capture) {
  guarded([&] {
    const bool byeExpected = std::find(expected.begin(), expected.end(), "BYE") != expected.end();
    if (drain && !command.empty()) drainInput(byeExpected);
    const std::string tag = nextTag();
    std::string line = tag;
    line += ' ';
    line += command;
    try {
      wire().writeLine(line);
    } catch (const SocketError& e) {
      // A reset connection is lost; after any other failed send the reply
      // is read all the same (it tells what happened).
      if (e.code() == ECONNRESET) throw;
    }
    wire().beginReply();
    readReply(tag, expected, capture);
  });
}

// pieces: command text, literal, text, literal, ... (odd indices are the
// literals' bytes). Each literal is announced with "{n}" and sent after the
// server's "+"; a tagged reply instead of the "+" ends the command.
void ImapSession::sendWithLiterals(const std::vector<std::string>& pieces, const Expected& expected) {
  guarded([&] {
    drainInput(false);
    const std::string tag = nextTag();
    std::string line = tag + " " + pieces.front();
    for (size_t i = 1; i < pieces.size(); i += 2) {
      line += "{" + std::to_string(pieces[i].size()) + "}";
      wire().writeLine(line);
      wire().beginReply();
      ImapReply reply = collectReply(
          [&](const std::string& l) {
            if (startsWithIgnoreCase(l, "* BYE")) {
              lost(true);
              throw ImapByeError();
            }
            return l.front() == '+' || equalsIgnoreCase(imapFirstWord(l), tag);
          },
          nullptr);
      if (reply.status != "+") {
        keepExpectedImapLines(reply, expected);
        reply_ = std::move(reply);
        return;
      }
      line = pieces[i];
      if (i + 1 < pieces.size()) line += pieces[i + 1];
    }
    wire().writeLine(line);
    wire().beginReply();
    readReply(tag, expected, nullptr);
  });
}

void ImapSession::connect(bool login) {
  if (!transport_) throw NotConnectedError();
  if (login && (hasLineBreakOrNul(username_) || hasLineBreakOrNul(password_))) throw UnsafeCredentialsError();
  state_ = ImapState::NonAuthenticated;
  closedByPeer_ = false;
  counter_ = 0;
  Transport& t = *transport_;
  t.setMaxLineLength(kMaxLineLength);
  t.setLineLimit(lineLimitMs_);
  t.setReplyLimit(replyLimitMs_);
  t.setReadTimeout(readTimeoutMs_);
  if (!t.connected()) {
    t.setHost(host_);
    t.setPort(port_);
    t.setConnectTimeout(connectTimeoutMs_);
    t.setPassThrough(tlsMode_ != TlsMode::Implicit);  // STARTTLS starts in plain text
    t.connect();
  }
  guarded([&] {
    t.beginReply();
    // The greeting is untagged: it ends with its status word.
    reply_ = collectReply(
        [](const std::string& line) {
          return isImapStatusWord(imapFirstWord(line)) ||
                 isImapStatusWord(imapFirstWord(imapAfterFirstWord(line)));
        },
        nullptr);
  });
  greeting_ = reply_.textLines.empty() ? std::string() : reply_.textLines.front();
  greetingStatus_ = reply_.status;
  capabilities_ = imapCapabilityCode(reply_.finalText);
  capabilitiesKnown_ = !capabilities_.empty();
  if (tlsMode_ == TlsMode::Explicit) startTls();
  if (login) this->login();
}

bool ImapSession::hasCapability(std::string_view name) const {
  return std::any_of(capabilities_.begin(), capabilities_.end(),
                     [&](const std::string& word) { return equalsIgnoreCase(word, name); });
}

// RFC 3501 6.2.1 and RFC 2595: STARTTLS must be offered and accepted, or the
// session ends; it never goes on in plain text. The capabilities are asked
// again inside TLS, since those sent before it may have been tampered with.
void ImapSession::startTls() {
  const auto refuse = [this](const std::string& why) {
    lost(false);
    throw StartTlsError(why);
  };
  if (greetingStatus_ == "PREAUTH")
    refuse("The server greeted with PREAUTH, so STARTTLS cannot be used: the account is not used without TLS.");
  if (greetingStatus_ != "OK") return;  // a refusing greeting: nothing is sent, login() reports it
  if (!capabilitiesKnown_) capability();
  if (!hasCapability("STARTTLS")) refuse("The server does not offer STARTTLS");
  sendCommand("STARTTLS", {});
  if (reply_.status != "OK") {
    const std::string text = reply_.finalText;
    refuse("The server does not offer STARTTLS (it answered STARTTLS with " + reply_.status +
           (text.empty() ? "" : " " + text) + ")");
  }
  guarded([&] { wire().startTls(); });
  capability();
  capabilitiesKnown_ = true;
}

void ImapSession::login() {
  try {
    const std::string greetingStatus = greetingStatus_;
    if (greetingStatus == "OK") {
      state_ = ImapState::NonAuthenticated;
      // A server that announces LOGINDISABLED would get the password in
      // clear text only to refuse it. When the greeting listed no
      // capabilities they are asked for first.
      if (!capabilitiesKnown_) {
        capability();
        capabilitiesKnown_ = true;
      }
      if (tokenSource_) {
        // OAUTHBEARER is the standard one; XOAUTH2 is what older servers know.
        const OAuthMechanism mechanism = hasCapability("AUTH=OAUTHBEARER") ? OAuthMechanism::OAuthBearer
                                         : hasCapability("AUTH=XOAUTH2")   ? OAuthMechanism::XOAuth2
                                                                           : throw OAuthNotOfferedError();
        if (signInLog_) signInLog_(" Signing in with " + std::string(oauthMechanismName(mechanism)));
        if (authenticate(mechanism, tokenSource_(false)) || authenticate(mechanism, tokenSource_(true))) {
          state_ = ImapState::Authenticated;
          capability();
        }
        capability();
        return;
      }
      if (hasCapability("LOGINDISABLED")) throw ImapLoginDisabledError();
      // Each argument goes as an atom when it is one, as a literal when it
      // holds 8-bit bytes (strict servers refuse those in quoted strings),
      // else quoted.
      std::vector<std::string> pieces{"LOGIN "};
      const auto add = [&](const std::string& arg, const char* after) {
        if (std::any_of(arg.begin(), arg.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
          pieces.push_back(arg);
          pieces.emplace_back(after);
        } else {
          pieces.back() += *imapAstring(arg) + after;
        }
      };
      add(username_, " ");
      add(password_, "");
      if (pieces.size() == 1) sendCommand(pieces.front(), {});
      else sendWithLiterals(pieces, {});
      if (reply_.status == "OK") {
        state_ = ImapState::Authenticated;
        capability();
      }
    } else if (greetingStatus == "PREAUTH") {
      state_ = ImapState::Authenticated;
    }
    capability();
  } catch (...) {
    if (!connected()) {
      if (closedByPeer_) throw ImapDisconnectedError();
      throw;
    }
    try {
      disconnect();
    } catch (...) {
      // The first error is the one worth reporting.
    }
    throw;
  }
}

// RFC 3501 6.2.2 with RFC 4959 (SASL-IR) and RFC 7628: the initial response
// on the command line when the server takes it there, else after its "+".
// An error challenge gets the reply the mechanism asks for, then the
// tagged NO follows; more challenges are cancelled with "*".
bool ImapSession::authenticate(OAuthMechanism mechanism, const std::string& token) {
  if (token.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) throw UnsafeCredentialsError();
  const std::string response = oauthInitialResponse(mechanism, username_, host_, port_, token);
  guarded([&] {
    drainInput(false);
    const std::string tag = nextTag();
    std::string line = tag + " AUTHENTICATE " + std::string(oauthMechanismName(mechanism));
    bool sent = hasCapability("SASL-IR");
    if (sent) line += " " + response;
    wire().writeLine(line);
    for (int challenges = 0;; ++challenges) {
      wire().beginReply();
      ImapReply reply = collectReply(
          [&](const std::string& l) {
            if (startsWithIgnoreCase(l, "* BYE")) {
              lost(true);
              throw ImapByeError();
            }
            return l.front() == '+' || equalsIgnoreCase(imapFirstWord(l), tag);
          },
          nullptr);
      if (reply.status != "+") {
        keepExpectedImapLines(reply, {});
        reply_ = std::move(reply);
        return;
      }
      if (!sent) {
        wire().writeLine(response);
        sent = true;
      } else if (challenges < 2) {
        if (signInLog_) signInLog_(" The server refused the token: " + oauthErrorText(reply.finalText));
        wire().writeLine(oauthErrorReply(mechanism));
      } else {
        wire().writeLine("*");
      }
    }
  });
  return reply_.status == "OK";
}

bool ImapSession::capability() {
  capabilities_.clear();
  sendCommand("CAPABILITY", {"CAPABILITY"});
  if (reply_.status != "OK") return false;
  if (!reply_.textLines.empty()) {
    std::string_view rest = imapAfterFirstWord(reply_.textLines.front());
    while (!rest.empty()) {
      capabilities_.emplace_back(imapFirstWord(rest));
      rest = imapAfterFirstWord(rest);
    }
  }
  return true;
}

bool ImapSession::listFolders(std::vector<std::string>& names, std::vector<std::string>* wireNames) {
  requireState({ImapState::Authenticated, ImapState::Selected});
  names.clear();
  if (wireNames) wireNames->clear();
  sendCommand("LIST \"\" *", {"LIST"});
  if (reply_.status != "OK") return false;
  for (const std::string& line : reply_.textLines) {
    auto name = parseImapListLine(line);
    if (!name) continue;
    names.push_back(decodeModifiedUtf7(*name));
    if (wireNames) wireNames->push_back(std::move(*name));
  }
  return true;
}

namespace {
// The name goes exactly as LIST sent it: re-encoding a decoded name would
// change names that are no valid modified UTF-7 ("Tom & Jerry").
std::string wireFolderName(std::string_view folder) {
  auto quoted = imapQuoted(folder);
  if (!quoted) throw ImapUnsafeArgumentError();
  return std::move(*quoted);
}
}  // namespace

bool ImapSession::openFolder(const char* command, std::string_view folder) {
  requireState({ImapState::Authenticated, ImapState::Selected});
  sendCommand(std::string(command) + " " + wireFolderName(folder), kSelectKeywords);
  if (reply_.status != "OK") {
    state_ = ImapState::Authenticated;
    return false;
  }
  mailbox_.clear();
  applyImapSelect(mailbox_, reply_);
  mailbox_.name = folder;
  state_ = ImapState::Selected;
  return true;
}

bool ImapSession::select(std::string_view folder) { return openFolder("SELECT", folder); }

bool ImapSession::examine(std::string_view folder) { return openFolder("EXAMINE", folder); }

bool ImapSession::uidSearch(std::string_view criterion) {
  requireState({ImapState::Selected});
  if (criterion.empty() || hasLineBreakOrNul(criterion)) throw ImapUnsafeArgumentError();
  // A refused SEARCH leaves no result behind, never the previous one's.
  mailbox_.searchResult.clear();
  sendCommand("UID SEARCH " + std::string(criterion), {"SEARCH"});
  if (reply_.status != "OK") return false;
  mailbox_.searchResult = parseImapSearch(reply_.textLines);
  return true;
}

bool ImapSession::uidFetchHeaders(const std::vector<uint32_t>& uids, FetchParts parts,
                                  const std::function<void(FetchedMessage&)>& each) {
  requireState({ImapState::Selected});
  std::vector<uint32_t> asked = uids;
  std::sort(asked.begin(), asked.end());
  asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
  std::vector<bool> delivered(asked.size(), false);
  const bool withText = parts == FetchParts::HeaderAndText;
  FetchCapture capture;
  capture.wanted = {"RFC822.HEADER"};
  capture.keep = {kMaxHeaderBytes};
  std::string items = "(UID RFC822.HEADER)";
  if (parts == FetchParts::SenderFields) {
    // The reply names the section as it was asked for.
    capture.wanted = {"BODY[HEADER.FIELDS (FROM DATE)]"};
    items = "(UID BODY.PEEK[HEADER.FIELDS (FROM DATE)])";
  } else if (withText) {
    // Only the part that is kept is asked for: an attachment is not fetched.
    capture.wanted.emplace_back("BODY[TEXT]");
    capture.keep.push_back(kMaxTextBytes);
    items = "(UID RFC822.HEADER BODY.PEEK[TEXT]<0." + std::to_string(kMaxTextBytes) + ">)";
  }
  capture.onItem = [&](ImapFetchItem& item) {
    // Only the messages asked for, each once: a server may send FETCH lines
    // of its own accord (another client changed a flag).
    const auto uid = parseImapNumber(item.uid);
    if (!uid) return;
    const auto at = std::lower_bound(asked.begin(), asked.end(), *uid);
    if (at == asked.end() || *at != *uid) return;
    const auto index = static_cast<size_t>(at - asked.begin());
    ImapFetchValue& header = item.values[0];
    if (delivered[index] || header.bytes.empty()) return;
    if (header.truncated) {
      // Only whole lines of a header cut at the cap.
      const size_t lf = header.bytes.rfind('\n');
      header.bytes.resize(lf == std::string::npos ? 0 : lf + 1);
      if (header.bytes.empty()) return;
    }
    delivered[index] = true;
    FetchedMessage message{*uid, std::move(header.bytes), {}};
    if (withText) message.text = std::move(item.values[1].bytes);
    each(message);
  };
  bool allOk = true;
  for (const std::string& set : imapUidSets(asked, kMaxUidSetLength, kFetchBatch)) {
    sendCommand("UID FETCH " + set + " " + items, {"FETCH"}, true, &capture);
    if (reply_.status != "OK") allOk = false;
  }
  return allOk;
}

uint32_t ImapSession::highestUid() {
  requireState({ImapState::Selected});
  uint32_t highest = 0;
  FetchCapture capture;
  capture.onItem = [&](ImapFetchItem& item) {
    if (auto uid = parseImapNumber(item.uid)) highest = std::max(highest, *uid);
  };
  sendCommand("UID FETCH * (UID)", {"FETCH"}, true, &capture);
  return reply_.status == "OK" ? highest : 0;
}

void ImapSession::disconnect() {
  if (!connected()) throw ImapDisconnectedError();
  try {
    sendCommand("LOGOUT", {"BYE"});
  } catch (const ConnectionClosedError&) {
    // The server closed after its BYE: the logout is done.
  } catch (const NotConnectedError&) {
  } catch (const StopRequestedError&) {
    // Asked to stop: close without waiting for the reply.
  } catch (...) {
    if (transport_) transport_->close();
    state_ = ImapState::NonAuthenticated;
    capabilities_.clear();
    throw;
  }
  if (transport_) transport_->close();
  state_ = ImapState::NonAuthenticated;
  capabilities_.clear();
}

}  // namespace brivane
