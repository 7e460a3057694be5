#pragma once
#include <stdexcept>
#include <string>

// Errors of the protocol layers. Each failure kind the checkers tell apart has
// a class of its own; all derive from ProtocolError so that a caller can also
// catch them together. The message texts are the ones shown in logs.
namespace brivane {

class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Any socket failure, including a failed host lookup (then the code is the
// resolver's code and the text its message).
class SocketError : public ProtocolError {
 public:
  SocketError(int code, const std::string& systemText)
      : ProtocolError("Socket Error # " + std::to_string(code) + "\r\n" + systemText),
        code_(code),
        systemText_(systemText) {}
  int code() const { return code_; }
  const std::string& systemText() const { return systemText_; }

 private:
  int code_;
  std::string systemText_;
};

// The whole check of an account ran past its time limit (a server that
// drips its replies slowly enough to pass every per-line limit).
class CheckTimeLimitError : public ProtocolError {
 public:
  explicit CheckTimeLimitError(long long limitMs)
      : ProtocolError("the check did not finish within " +
                      (limitMs % 60000 == 0 ? std::to_string(limitMs / 60000) + " minutes"
                                            : std::to_string(limitMs) + " ms")) {}
};

class ConnectTimeoutError : public ProtocolError {
 public:
  ConnectTimeoutError() : ProtocolError("Connect timed out.") {}
};

class TlsLibraryError : public ProtocolError {
 public:
  TlsLibraryError() : ProtocolError("Could not load SSL library.") {}
};

// A failed TLS handshake or TLS record error; carries OpenSSL's error text.
class TlsError : public ProtocolError {
 public:
  using ProtocolError::ProtocolError;
};

class NotConnectedError : public ProtocolError {
 public:
  NotConnectedError() : ProtocolError("Not connected.") {}
};

class AlreadyConnectedError : public ProtocolError {
 public:
  AlreadyConnectedError() : ProtocolError("Already connected.") {}
};

class HostRequiredError : public ProtocolError {
 public:
  HostRequiredError() : ProtocolError("A host name is required.") {}
};

class PortRequiredError : public ProtocolError {
 public:
  PortRequiredError() : ProtocolError("A port is required.") {}
};

class ConnectionClosedError : public ProtocolError {
 public:
  ConnectionClosedError() : ProtocolError("Connection Closed Gracefully.") {}
};

class LineTooLongError : public ProtocolError {
 public:
  LineTooLongError() : ProtocolError("Max line length exceeded.") {}
};

// A reply line did not arrive complete within the line limit, or a whole
// reply not within the reply limit.
class ReadTimeoutError : public ProtocolError {
 public:
  ReadTimeoutError() : ProtocolError("Read timed out.") {}
};

// The owning thread was asked to stop while the transport was waiting.
class StopRequestedError : public ProtocolError {
 public:
  StopRequestedError() : ProtocolError("Stop requested.") {}
};

// A reply that does not have the expected form (for example a STAT count
// that is not a number).
class MalformedReplyError : public ProtocolError {
 public:
  using ProtocolError::ProtocolError;
};

// A user name or password that would split a command line.
class UnsafeCredentialsError : public ProtocolError {
 public:
  UnsafeCredentialsError()
      : ProtocolError("The user name or password contains a line break or NUL character.") {}
};

// The TLS mode was changed on a connected session.
class TlsModeError : public ProtocolError {
 public:
  using ProtocolError::ProtocolError;
};

// STARTTLS (IMAP) or STLS (POP3) was asked for but not advertised, or was
// refused, or the server greeted already logged in (PREAUTH): the session
// never goes on in plain text.
class StartTlsError : public ProtocolError {
 public:
  using ProtocolError::ProtocolError;
};

// An account that signs in with an OAuth 2.0 token, on a server that offers
// neither SASL OAUTHBEARER nor XOAUTH2.
class OAuthNotOfferedError : public ProtocolError {
 public:
  OAuthNotOfferedError() : ProtocolError("The server does not offer OAuth sign-in") {}
};

// Bytes arrived after the server's go-ahead for STARTTLS/STLS and before the
// TLS handshake.
class PlainTextInjectionError : public ProtocolError {
 public:
  PlainTextInjectionError()
      : ProtocolError("The server sent data before the TLS handshake (possible plain-text injection).") {}
};

// A POP3 command that requires "+OK" got another reply.
class Pop3ReplyError : public ProtocolError {
 public:
  Pop3ReplyError(const std::string& text, const std::string& extendedCode)
      : ProtocolError(text), text_(text), extendedCode_(extendedCode) {}
  const std::string& text() const { return text_; }
  // "IN-USE", "LOGIN-DELAY", "SYS/PERM", "SYS/TEMP", "AUTH" or empty.
  const std::string& extendedCode() const { return extendedCode_; }

 private:
  std::string text_;
  std::string extendedCode_;
};

}  // namespace brivane
