#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/imap_parse.h"
#include "protocols/mail_message.h"
#include "protocols/ports.h"
#include "protocols/pop3_session.h"  // TlsMode
#include "protocols/protocol_errors.h"
#include "protocols/sasl_oauth.h"

// The IMAP4rev1 client dialogue as the IMAP checker and the folder listing
// use it: connect and greeting, LOGIN, CAPABILITY, LIST, SELECT, STATUS,
// EXAMINE, SEARCH and UID SEARCH, UID FETCH of headers and texts, and
// LOGOUT. It reads only in forms that leave messages unseen (RFC822.HEADER,
// BODY.PEEK[TEXT]).
//
//   Transport transport;
//   ImapSession imap;
//   imap.setTransport(&transport);
//   imap.setHost("mail.example.org"); imap.setUsername(u); imap.setPassword(p);
//   imap.setPort(143); imap.setTlsMode(TlsMode::Implicit);  // port -> 993
//   imap.connect(true);                 // greeting, [CAPABILITY, STARTTLS,
//                                       // CAPABILITY], LOGIN, CAPABILITY
//                                       // (ImapLoginDisabledError when the
//                                       // server announces LOGINDISABLED,
//                                       // StartTlsError when STARTTLS fails)
//   if (imap.state() == ImapState::Authenticated) { imap.listFolders(names); ... }
//   if (imap.connected()) imap.disconnect();
//
// "NO" and "BAD" replies are never errors: each operation reports them in
// its result. Errors are the transport's, MalformedReplyError for a reply of
// the wrong shape, and the classes below.
namespace brivane {

enum class ImapState { NonAuthenticated, Authenticated, Selected, UnexpectedlyDisconnected };

// "Non Authenticated", "Authenticated", "Selected", "" (the texts of the
// wrong-state error).
std::string_view imapStateText(ImapState state);

// The server sent "* BYE" while a command other than LOGOUT was waiting.
class ImapByeError : public ProtocolError {
 public:
  ImapByeError()
      : ProtocolError("Server has gracefully disconnected you, possibly because the connection was idle "
                      "for too long.") {}
};

// Disconnect (LOGOUT) on a session whose connection is already closed.
class ImapDisconnectedError : public ProtocolError {
 public:
  ImapDisconnectedError() : ProtocolError("Disconnected.") {}
};

// The greeting announced LOGINDISABLED: LOGIN is not sent.
class ImapLoginDisabledError : public ProtocolError {
 public:
  ImapLoginDisabledError() : ProtocolError("The server refuses plain-text login (LOGINDISABLED).") {}
};

// An operation called in a state it does not accept.
class ImapStateError : public ProtocolError {
 public:
  explicit ImapStateError(ImapState current)
      : ProtocolError("Unable to execute command, wrong connection state;Current connection state: " +
                      std::string(imapStateText(current)) + ".") {}
};

// A folder name or search criterion that would split a command line.
class ImapUnsafeArgumentError : public ProtocolError {
 public:
  ImapUnsafeArgumentError()
      : ProtocolError("The folder name or search criterion contains a line break or NUL character.") {}
};

class Transport;

class ImapSession {
 public:
  static constexpr MailProtocol kProtocol = MailProtocol::Imap;
  static constexpr int kRegularPort = regularPort(kProtocol);
  static constexpr int kImplicitTlsPort = tlsPort(kProtocol);
  // A SEARCH reply names every match on one line: thousands of unseen
  // messages make lines far longer than other protocols need.
  static constexpr size_t kMaxLineLength = 4u << 20;
  static constexpr size_t kMaxHeaderBytes = 1u << 20;  // kept of a header literal
  static constexpr size_t kMaxTextBytes = 64u << 10;   // kept of a text literal
  // Kept of a literal inside other data lines (a folder name, unsolicited data).
  static constexpr size_t kMaxOtherLiteralBytes = 64u << 10;
  // Kept of one reply: lines beyond these are read and dropped.
  static constexpr size_t kMaxReplyLines = 100000;
  static constexpr size_t kMaxReplyBytes = 16u << 20;
  // Messages asked for in one UID FETCH, and the length of its UID set: the
  // command line stays under 8 KB, which every server accepts.
  static constexpr size_t kFetchBatch = 1000;
  static constexpr size_t kMaxUidSetLength = 7900;

  ImapSession() = default;
  ImapSession(const ImapSession&) = delete;
  ImapSession& operator=(const ImapSession&) = delete;

  // Settings, set before connecting.
  void setTransport(Transport* transport) { transport_ = transport; }
  Transport* transport() const { return transport_; }
  void setHost(std::string host) { host_ = std::move(host); }
  const std::string& host() const { return host_; }
  void setPort(int port) { port_ = port; }
  int port() const { return port_; }
  void setUsername(std::string username) { username_ = std::move(username); }
  const std::string& username() const { return username_; }
  void setPassword(std::string password) { password_ = std::move(password); }
  const std::string& password() const { return password_; }
  // None (plain), Implicit (TLS from the first byte) or Explicit (STARTTLS
  // before anything else; RequireExplicit is the same: never without TLS);
  // changing the mode moves the port between 143 and 993 when it holds the
  // other mode's port. Fails with TlsModeError while connected.
  void setTlsMode(TlsMode mode);
  TlsMode tlsMode() const { return tlsMode_; }
  void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
  int connectTimeout() const { return connectTimeoutMs_; }
  // Bounds each wait for the bytes of a header or text (-1: only the line
  // limit); takes effect at once, also while connected.
  void setReadTimeout(int ms);
  int readTimeout() const { return readTimeoutMs_; }
  // Every reply line must arrive within the line limit, every reply within
  // the reply limit ("Read timed out." past either); both take effect at
  // once, also while connected.
  void setLineLimit(int ms);
  int lineLimit() const { return lineLimitMs_; }
  void setReplyLimit(int ms);
  int replyLimit() const { return replyLimitMs_; }
  // Receives the text of every "[ALERT]" response (RFC 3501: it must reach
  // the user), as UTF-8 without control characters.
  void setAlertHandler(std::function<void(const std::string&)> handler) { alertHandler_ = std::move(handler); }
  // Signs in with an OAuth 2.0 access token instead of LOGIN: AUTHENTICATE
  // OAUTHBEARER when the server offers it, else XOAUTH2 (with the initial
  // response on the command line when it offers SASL-IR, RFC 4959).
  // `source(false)` gives the token; when the server refuses it, the token
  // is asked for once more (`source(true)`: a helper may have refreshed it)
  // and the sign-in tried once again. OAuthNotOfferedError when the server
  // offers neither mechanism. An error `source` throws ends the connect.
  void setTokenSource(std::function<std::string(bool again)> source) { tokenSource_ = std::move(source); }
  // Receives what the sign-in is worth logging: the mechanism used and the
  // server's decoded error text, never a token.
  void setSignInLog(std::function<void(const std::string&)> log) { signInLog_ = std::move(log); }

  // Operations.
  void connect(bool login = true);
  bool connected() const;
  bool capability();
  // Decoded folder names of the LIST reply, in reply order; with `wireNames`
  // also the names as LIST sent them (same order), the form SELECT and
  // STATUS take.
  bool listFolders(std::vector<std::string>& names, std::vector<std::string>* wireNames = nullptr);
  // `folder` is the wire form (as LIST sent it), quoted as it stands.
  bool select(std::string_view folder);
  // Opens the folder read-only (EXAMINE, RFC 3501 6.3.2): nothing in it
  // changes, not even its \Recent flags. The mailbox record as SELECT fills it.
  bool examine(std::string_view folder);
  // UID SEARCH with one criterion ("UNSEEN", "NEW"): the UIDs in
  // mailbox().searchResult. A refused SEARCH leaves an empty result and
  // returns false.
  bool uidSearch(std::string_view criterion);

  // A message as UID FETCH brought it.
  struct FetchedMessage {
    uint32_t uid = 0;
    std::string header;  // at most kMaxHeaderBytes, cut at a line end
    std::string text;    // the first kMaxTextBytes of the raw text, when asked for
  };
  // What uidFetchHeaders asks for of each message (each leaves it unseen).
  enum class FetchParts {
    Header,         // the whole header (RFC822.HEADER)
    HeaderAndText,  // the header and the start of the text (BODY.PEEK[TEXT]<0.n>)
    SenderFields,   // only the From and Date fields (BODY.PEEK[HEADER.FIELDS (FROM DATE)]), as `header`
  };
  // The headers (RFC822.HEADER, which leaves a message unseen), with
  // HeaderAndText also the start of the texts (BODY.PEEK[TEXT]<0.n>), of the
  // messages with the given UIDs, in one UID FETCH per kFetchBatch messages
  // (its UID set under kMaxUidSetLength characters), so the round trips do
  // not grow with the count. `each` gets every message that came with a
  // header, as its reply line arrives (the items in any order); a message
  // the server leaves out (expunged meanwhile), answers without a header or
  // was not asked for gives nothing. False when a command was refused (the
  // messages that came are handed on all the same).
  bool uidFetchHeaders(const std::vector<uint32_t>& uids, FetchParts parts,
                       const std::function<void(FetchedMessage&)>& each);
  // The highest UID in the selected folder (UID FETCH * (UID)); 0 when it is
  // empty or the command was refused.
  uint32_t highestUid();
  void disconnect();

  // State.
  ImapState state() const { return state_; }
  uint32_t commandCounter() const { return counter_; }
  const std::string& greeting() const { return greeting_; }
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  bool hasCapability(std::string_view name) const;
  const ImapMailbox& mailbox() const { return mailbox_; }
  const ImapReply& lastReply() const { return reply_; }

 private:
  struct FetchCapture;
  using Expected = std::vector<std::string_view>;

  void login();
  // One AUTHENTICATE exchange; true when the server accepted the token.
  bool authenticate(OAuthMechanism mechanism, const std::string& token);
  bool openFolder(const char* command, std::string_view folder);
  void startTls();
  void requireState(std::initializer_list<ImapState> accepted) const;
  std::string nextTag();
  void sendCommand(std::string_view command, const Expected& expected, bool drain = true,
                   FetchCapture* capture = nullptr);
  void sendWithLiterals(const std::vector<std::string>& pieces, const Expected& expected);
  void drainInput(bool byeExpected);
  void reportAlert(const std::string& line) const;
  ImapReply collectReply(const std::function<bool(const std::string&)>& isLast, FetchCapture* capture);
  void readReply(const std::string& tag, const Expected& expected, FetchCapture* capture);
  std::string readDataLine(std::string line, FetchCapture* capture);
  std::string readLiteral(uint32_t size, size_t keep);
  std::string readLine();
  // The connection is gone (closed by the server, or closed here because
  // the dialogue cannot go on): state unexpectedly disconnected.
  void lost(bool byPeer);
  template <typename F>
  auto guarded(F&& body) -> decltype(body());
  Transport& wire() const;

  Transport* transport_ = nullptr;
  std::string host_;
  int port_ = kRegularPort;
  std::string username_;
  std::string password_;
  TlsMode tlsMode_ = TlsMode::None;
  int connectTimeoutMs_ = -1;
  int readTimeoutMs_ = -1;
  int lineLimitMs_ = 60000;
  int replyLimitMs_ = 600000;

  ImapState state_ = ImapState::NonAuthenticated;
  bool closedByPeer_ = false;
  uint32_t counter_ = 0;
  std::string greeting_;
  std::vector<std::string> capabilities_;
  bool capabilitiesKnown_ = false;  // the greeting listed them, or CAPABILITY was asked
  std::string greetingStatus_;
  ImapMailbox mailbox_;
  ImapReply reply_;
  std::function<void(const std::string&)> alertHandler_;
  std::function<std::string(bool)> tokenSource_;
  std::function<void(const std::string&)> signInLog_;
};

}  // namespace brivane
