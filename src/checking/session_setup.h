#pragma once
// Steps every mail session of this folder takes the same way: handing it the
// account's server, credentials and TLS choice, testing that those are all
// given, and the closing logout.
#include <exception>
#include <string>

#include "protocols/pop3_session.h"  // TlsMode
#include "protocols/transport.h"
#include "settings/account.h"

namespace brivane {

// The session's TLS mode for an account's encryption.
inline TlsMode tlsModeOf(const TEmlAccount& account) {
  switch (encryptionOf(account)) {
    case Encryption::Tls: return TlsMode::Implicit;
    case Encryption::StartTls: return TlsMode::Explicit;
    case Encryption::None: return TlsMode::None;
  }
  return TlsMode::Implicit;
}

// Server, credentials, encryption and trusted certificate of `account` for
// a POP3 or IMAP4 session; implicit TLS moves the protocol's default port
// to its TLS port inside the session.
template <class Session>
void configureSession(Session& client, Transport& transport, const TEmlAccount& account) {
  client.setHost(account.server);
  client.setUsername(account.username);
  client.setPassword(account.password);
  client.setPort(account.port);
  const TlsMode mode = tlsModeOf(account);
  client.setTlsMode(mode);
  if (mode == TlsMode::Implicit) {
    transport.setDestination(account.server + ":" + std::to_string(account.port));
    transport.setHost(account.server);
    transport.setPort(account.port);
  }
  transport.setTlsTrust(TlsTrust{account.trustedCertificate, false});
}

// The first connection detail that is missing, tested in this order.
enum class MissingDetail { None, Server, Username, Password, Port };
inline MissingDetail firstMissingDetail(const std::string& server, const std::string& username,
                                        const std::string& password, int port) {
  if (server.empty()) return MissingDetail::Server;
  if (username.empty()) return MissingDetail::Username;
  if (password.empty()) return MissingDetail::Password;
  if (port == 0) return MissingDetail::Port;
  return MissingDetail::None;
}

// Logs out if the session is still connected; the connection is closed
// either way, so a failing logout is ignored.
template <class Session>
void disconnectQuietly(Session& client) {
  if (!client.connected()) return;
  try {
    client.disconnect();
  } catch (const std::exception&) {
  }
}

}  // namespace brivane
