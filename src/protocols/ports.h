#pragma once
// The standard ports of the two mail protocols and the rule that moves a
// session between them: implicit TLS (TLS from the first byte) turns the
// protocol's regular port into its TLS port; every other port is the user's
// own choice and stays.
namespace brivane {

enum class MailProtocol { Pop3, Imap };

inline constexpr int regularPort(MailProtocol protocol) { return protocol == MailProtocol::Pop3 ? 110 : 143; }
inline constexpr int tlsPort(MailProtocol protocol) { return protocol == MailProtocol::Pop3 ? 995 : 993; }

// The port to connect to with implicit TLS.
inline constexpr int implicitTlsPort(MailProtocol protocol, int port) {
  return port == regularPort(protocol) ? tlsPort(protocol) : port;
}

// The port to connect to without TLS: the TLS port goes back to the regular one.
inline constexpr int plainPort(MailProtocol protocol, int port) {
  return port == tlsPort(protocol) ? regularPort(protocol) : port;
}

}  // namespace brivane
