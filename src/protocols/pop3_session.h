#pragma once
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/mail_message.h"
#include "protocols/ports.h"
#include "protocols/sasl_oauth.h"
#include "protocols/transport.h"

// The POP3 client dialogue (RFC 1939) as the checker uses it: greeting,
// CAPA, [STLS, CAPA,] USER/PASS, STAT, UIDL, TOP n 0 (pipelined when the
// server offers PIPELINING), RETR n, QUIT. It never deletes or changes
// messages. Errors: the transport's (SocketError, ConnectionClosedError,
// ReadTimeoutError, ...), Pop3ReplyError for a required "+OK" that did not
// come, MalformedReplyError, UnsafeCredentialsError, StartTlsError, and the TLS
// errors (CertificateError, PlainTextInjectionError).
namespace brivane {

enum class TlsMode { None = 0, Implicit = 1, RequireExplicit = 2, Explicit = 3 };

struct Pop3Reply {
  std::string indicator;  // "+OK", "-ERR" or "+" (unknown indicators count as "-ERR")
  std::vector<std::string> lines;  // text of each reply line, after the indicator
  std::string extendedCode;        // "-ERR [IN-USE] ..." gives "IN-USE"
  size_t droppedLines = 0;         // continuation lines beyond the cap
  bool ok() const { return indicator == "+OK"; }
  std::string text() const { return lines.empty() ? std::string() : lines.front(); }
};

// One reply line split into its indicator and text; `continues` when the
// indicator is followed directly by "-".
struct Pop3ReplyLine {
  std::string indicator;  // as written
  std::string text;
  bool continues = false;
};
Pop3ReplyLine parsePop3ReplyLine(std::string_view line);

// Parses a whole reply given as bytes (lines ending in LF or CR LF). Entry
// point for fuzzing; the session reads its replies the same way.
Pop3Reply parsePop3Reply(std::string_view bytes);

// The count of a STAT reply text ("7 12345"); throws MalformedReplyError.
long parseStatCount(std::string_view text);

// Whether `id` is a unique-id as RFC 1939 allows it: 1 to 70 characters
// from 0x21 to 0x7E.
bool isValidPop3Uid(std::string_view id);

// A message's number and unique-id from a UIDL listing.
struct Pop3Uid {
  long number = 0;
  std::string id;
  friend bool operator==(const Pop3Uid&, const Pop3Uid&) = default;
};

// What a UIDL listing gave. Only `Listed` carries ids: one per message
// 1..count, in number order, numbers and ids each unique.
struct Pop3UidListing {
  enum class Outcome {
    Listed,
    Refused,    // "-ERR": the server has no UIDL
    Malformed,  // a line that is no "number id", a number outside 1..count, a
                // number or id given twice, a message left out
    TooMany,    // more lines than the caller keeps
  };
  Outcome outcome = Outcome::Refused;
  std::vector<Pop3Uid> ids;
  bool listed() const { return outcome == Outcome::Listed; }
};

class Pop3Session {
 public:
  static constexpr MailProtocol kProtocol = MailProtocol::Pop3;
  static constexpr int kRegularPort = regularPort(kProtocol);
  static constexpr int kImplicitTlsPort = tlsPort(kProtocol);
  static constexpr size_t kMaxReplyLines = 1000;
  static constexpr size_t kMaxCapabilities = 1000;
  // Longest line kept; longer ones are read to their end and cut (the
  // message object keeps no more of a body either).
  static constexpr size_t kMaxLineLength = MailMessage::kMaxBodyBytes;

  explicit Pop3Session(Transport* transport) : transport_(transport) {}

  void setHost(std::string host) { host_ = std::move(host); }
  const std::string& host() const { return host_; }
  void setPort(int port) { port_ = port; }
  int port() const { return port_; }
  void setUsername(std::string user) { username_ = std::move(user); }
  void setPassword(std::string password) { password_ = std::move(password); }
  // Changing the mode moves the port between 110 and 995 when it is the
  // other mode's standard port. Not allowed while connected. Explicit
  // (and RequireExplicit, the same) sends STLS after the capabilities and
  // before the login, and never goes on without TLS (StartTlsError).
  void setTlsMode(TlsMode mode);
  TlsMode tlsMode() const { return tlsMode_; }
  void setLoginOnConnect(bool on) { loginOnConnect_ = on; }
  // Signs in with an OAuth 2.0 access token instead of USER/PASS: AUTH
  // OAUTHBEARER when CAPA's SASL line lists it, else XOAUTH2 (RFC 5034),
  // the initial response on the AUTH line only while that stays within 255
  // octets. `source(false)` gives the token; a refused one is asked for
  // once more (`source(true)`) and tried once again; a second refusal
  // raises Pop3ReplyError as a refused PASS does. OAuthNotOfferedError when
  // neither mechanism is listed.
  void setTokenSource(std::function<std::string(bool again)> source) { tokenSource_ = std::move(source); }
  // Receives the mechanism used and the server's decoded error text, never a token.
  void setSignInLog(std::function<void(const std::string&)> log) { signInLog_ = std::move(log); }
  void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
  void setReadTimeout(int ms) { readTimeoutMs_ = ms; }

  // Connects, reads the greeting, queries capabilities and logs in.
  void connect();
  // The number of messages (STAT).
  long messageCount();
  // Reads message n's header (TOP n 0) into `message` and decodes it;
  // false (message cleared) when the server refuses it with "-ERR".
  bool retrieveHeader(long n, MailMessage& message);
  // Reads the whole message n (RETR n); false (message untouched) on "-ERR".
  bool retrieve(long n, MailMessage& message);

  // The unique-ids of the `count` messages STAT gave (UIDL). Keeps at most
  // `maxIds` of them: a longer listing is read to its end and dropped
  // (TooMany), so a maildrop of any size costs bounded memory. A refusal or
  // a malformed listing is no error: the caller goes on without ids.
  Pop3UidListing uidl(long count, size_t maxIds);

  // Called with each message of retrieveHeaders as its reply arrives: its
  // number, whether the server showed it ("-ERR" drops only that message)
  // and, when shown, the message (reused between calls; the callee may move
  // from it).
  using HeaderCallback = std::function<void(long number, bool shown, MailMessage& message)>;
  // Reads the header of each message in `numbers`, in that order: "TOP n 0",
  // or with `previewLines` > 0 "TOP n previewLines" read as header, blank
  // line and body. Capabilities refused before the login are asked once
  // more, before the first TOP of the session (not at all when a check
  // reads no header); with PIPELINING (RFC 2449) keeps up to kPipelineCommands commands (and
  // kPipelineBytes of command text) in flight, else sends one at a time.
  // Each reply has the whole-reply limit of its own. Left by an error (or a
  // stop, which the transport raises while waiting, or the callback throws)
  // with replies outstanding, the connection is closed: it is out of step.
  void retrieveHeaders(const std::vector<long>& numbers, int previewLines, const HeaderCallback& onMessage);
  static constexpr size_t kPipelineCommands = 64;
  static constexpr size_t kPipelineBytes = 2048;
  // QUIT and close; a "-ERR" to QUIT is raised after the close.
  void disconnect();
  bool connected() const { return transport_ && transport_->connected(); }

  // Sends one command and reads its reply; with `required`, a reply with
  // another indicator raises Pop3ReplyError.
  const Pop3Reply& sendCommand(std::string_view command, std::optional<std::string_view> required = std::nullopt);

  const Pop3Reply& lastReply() const { return reply_; }
  const std::string& greetingTimestamp() const { return greetingTimestamp_; }
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  bool hasCapabilities() const { return hasCapabilities_; }
  // Whether a CAPA line starts with `name` (any case).
  bool hasCapability(std::string_view name) const;
  // Whether commands are sent ahead of the replies (the server lists
  // PIPELINING).
  bool pipelining() const { return hasCapability("PIPELINING"); }

 private:
  Transport& transport();
  void readReply();
  void readCapabilities();
  void startTls();
  // One AUTH exchange; true when the server accepted the token.
  bool authenticate(OAuthMechanism mechanism, const std::string& token);
  void require(std::string_view indicator);
  // Header lines up to "." (TOP) or also the empty line (RETR); true when
  // the empty line ended it.
  bool readHeaderLines(MailMessage& message, bool stopAtEmptyLine);
  // The reply to "TOP n lines" after its status line, read into `message`.
  void readTopReply(MailMessage& message, int previewLines);

  Transport* transport_;
  std::string host_;
  int port_ = kRegularPort;
  std::string username_, password_;
  TlsMode tlsMode_ = TlsMode::None;
  bool loginOnConnect_ = true;
  int connectTimeoutMs_ = -1;
  int readTimeoutMs_ = -1;

  Pop3Reply reply_;
  std::string greetingTimestamp_;
  std::vector<std::string> capabilities_;
  bool hasCapabilities_ = false;
  bool askedCapabilitiesAfterLogin_ = false;
  std::function<std::string(bool)> tokenSource_;
  std::function<void(const std::string&)> signInLog_;
};

}  // namespace brivane
