#include "protocols/certificate.h"

namespace brivane {

std::string certificateReasonText(CertificateProblem problem, std::string_view opensslText) {
  switch (problem) {
    case CertificateProblem::None: return {};
    case CertificateProblem::UnknownIssuer: return "unknown issuer or self-signed";
    case CertificateProblem::NameMismatch: return "name does not match";
    case CertificateProblem::Expired: return "expired or not yet valid";
    case CertificateProblem::ChangedSinceTrusted: return "changed since you trusted it";
    case CertificateProblem::Other: break;
  }
  return opensslText.empty() ? std::string("verification failed") : std::string(opensslText);
}

std::vector<std::string> certificateLines(const CertificateInfo& info) {
  std::vector<std::string> lines{"Subject: " + info.subject, "Issuer: " + info.issuer,
                                 "Valid from " + info.notBefore + " to " + info.notAfter, "SHA-256: " + info.sha256};
  if (!info.verifies) lines.push_back("Problem: " + info.reason);
  return lines;
}

CertificateError::CertificateError(std::string host, CertificateInfo info)
    : TlsError("The certificate of " + host + " is not trusted (" + info.reason + ")"),
      host_(std::move(host)),
      info_(std::move(info)) {}

}  // namespace brivane
