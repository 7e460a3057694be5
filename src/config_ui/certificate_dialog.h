#pragma once
#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "protocols/certificate.h"

namespace Ui {
class TfrmCertificate;
}

// The review of a server certificate that did not verify: what the account
// editor shows before the user may trust it. Every text from the server
// (subject, issuer) arrives with its control characters escaped and is
// shown as plain text, never as mark-up.
namespace brivane {

// The editor's status line for a refused certificate: "The certificate of
// <server> is not trusted (<reason>)".
std::string UntrustedCertificateLine(std::string_view server, const CertificateInfo& info);

// Whether the account had trusted a certificate (`trusted`, a fingerprint)
// and the server now presents another one.
bool ChangedSinceTrusted(std::string_view trusted, const CertificateInfo& info);

// A long run without a blank (a distinguished name, a fingerprint) with
// places to wrap: a zero-width space after each "," and "/" and after every
// `run` characters without one, so that a label wraps it instead of growing
// past the screen. Texts beyond `maxChars` characters end in "...".
std::string Wrappable(std::string_view text, size_t run = 24, size_t maxChars = 1000);

// The dialog: a statement of the problem (first that the certificate
// changed, when it did), subject, issuer, validity, SHA-256 fingerprint and
// the reason; "Trust this certificate" accepts, Cancel (the default, so
// that Enter trusts nothing) rejects.
class TfrmCertificate : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmCertificate(QWidget* parent = nullptr);
  ~TfrmCertificate() override;

  // `server` as the user entered it; `trusted` the fingerprint the account
  // trusted so far (empty for none).
  void setCertificate(std::string_view server, const CertificateInfo& info, std::string_view trusted);

 private:
  std::unique_ptr<Ui::TfrmCertificate> ui;
};

// Shows the dialog modally over `parent`; true when the user trusts the
// certificate.
bool ReviewCertificate(QWidget* parent, std::string_view server, const CertificateInfo& info,
                       std::string_view trusted);

// Tests replace the modal loop: while set, ReviewCertificate fills the
// dialog, hands it to the hook unshown and returns the hook's answer.
using CertificateReviewHook = std::function<bool(TfrmCertificate&)>;
void SetCertificateReviewHook(CertificateReviewHook hook);

}  // namespace brivane
