#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "protocols/protocol_errors.h"

// The server certificate of a TLS connection as the user is shown it, and
// the one exception a user may make: trusting one certificate, named by its
// SHA-256 fingerprint, for one account.
namespace brivane {

// Why a certificate did not verify.
enum class CertificateProblem {
  None,                 // it verifies
  UnknownIssuer,        // no chain to a trusted root: self-signed or a private CA
  NameMismatch,         // made for another host name or address
  Expired,              // expired or not yet valid
  ChangedSinceTrusted,  // fails, and is not the one the user trusted
  Other,                // anything else (weak key, SHA-1 signature, ...): OpenSSL's text
};

struct CertificateInfo {
  // Untrusted text from the server: RFC 2253 names with control characters
  // escaped (escapeControl, common/text.h), never to be shown as mark-up.
  std::string subject;
  std::string issuer;
  std::string notBefore;  // UTC, "2026-12-08T01:02:03Z"
  std::string notAfter;
  std::string sha256;     // fingerprint of the DER form, "AB:CD:..." (95 characters)
  bool verifies = false;  // chain, host name and dates verified against the trust store
  CertificateProblem problem = CertificateProblem::None;
  std::string reason;     // the text shown for `problem`; empty when it verifies
};

// The reason text of a problem: "unknown issuer or self-signed", "name does
// not match", "expired or not yet valid", "changed since you trusted it", or
// `opensslText` for Other.
std::string certificateReasonText(CertificateProblem problem, std::string_view opensslText = {});

// "Subject: ...", "Issuer: ...", "Valid from ... to ...", "SHA-256: ..."
// (and "Problem: ..." when it does not verify): the lines a log or a
// terminal shows.
std::vector<std::string> certificateLines(const CertificateInfo& info);

// What a TLS connection accepts besides a certificate that verifies.
struct TlsTrust {
  // The fingerprint ("AB:CD:...") the user trusted for this account: a
  // certificate with it is accepted whatever its verification error.
  std::string pinnedSha256;
  // Accepts any certificate, only to show it (`--certificate`); a
  // connection made so never logs in.
  bool inspectOnly = false;
};

// The server's certificate did not verify and is not the trusted one. The
// handshake was ended before any data was sent.
class CertificateError : public TlsError {
 public:
  CertificateError(std::string host, CertificateInfo info);
  const std::string& host() const { return host_; }
  const CertificateInfo& certificate() const { return info_; }

 private:
  std::string host_;
  CertificateInfo info_;
};

}  // namespace brivane
