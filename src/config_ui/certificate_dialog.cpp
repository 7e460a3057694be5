#include "config_ui/certificate_dialog.h"

#include <QFontDatabase>
#include <QPushButton>

#include "common/text.h"
#include "config_ui/window_fit.h"
#include "ui_certificate_dialog.h"

namespace brivane {

namespace {
CertificateReviewHook gHook;

QString q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// "2026-12-08T01:02:03Z" as "2026-12-08 01:02:03 UTC"; any other form as it came.
std::string shownTime(std::string text) {
  if (text.size() == 20 && text[10] == 'T' && text[19] == 'Z') {
    text[10] = ' ';
    text.replace(19, 1, " UTC");
  }
  return text;
}

// The fingerprint in two lines of sixteen bytes, so that it reads (and
// compares with a provider's) without a scroll.
std::string shownFingerprint(const std::string& sha256) {
  constexpr size_t kHalf = 16 * 3;  // "AB:" sixteen times
  if (sha256.size() > kHalf && sha256[kHalf - 1] == ':') return sha256.substr(0, kHalf) + "\n" + sha256.substr(kHalf);
  return Wrappable(sha256);
}

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

std::string UntrustedCertificateLine(std::string_view server, const CertificateInfo& info) {
  std::string line = "The certificate of " + escapeControl(server) + " is not trusted";
  if (!info.reason.empty()) line += " (" + info.reason + ")";
  return line;
}

bool ChangedSinceTrusted(std::string_view trusted, const CertificateInfo& info) {
  if (trusted.empty()) return false;
  if (info.problem == CertificateProblem::ChangedSinceTrusted) return true;
  const std::optional<std::string> a = normalizeFingerprint(trusted), b = normalizeFingerprint(info.sha256);
  return !(a && b && *a == *b);
}

std::string Wrappable(std::string_view text, size_t run, size_t maxChars) {
  static constexpr std::string_view kZeroWidthSpace = "\xE2\x80\x8B";
  std::string out;
  size_t chars = 0, sinceBreak = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!isContinuation(c)) {
      if (chars == maxChars) return out + "...";
      ++chars;
      if (sinceBreak >= run) {
        out += kZeroWidthSpace;
        sinceBreak = 0;
      }
    }
    out += c;
    const bool lastByte = i + 1 == text.size() || !isContinuation(text[i + 1]);
    if (!lastByte) continue;
    if (c == ' ' || c == '\n') {
      sinceBreak = 0;
    } else if (c == ',' || c == '/') {
      out += kZeroWidthSpace;
      sinceBreak = 0;
    } else {
      ++sinceBreak;
    }
  }
  return out;
}

TfrmCertificate::TfrmCertificate(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmCertificate>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  // Nothing the server sent is ever read as mark-up or a link.
  for (QLabel* l : findChildren<QLabel*>()) {
    l->setTextFormat(Qt::PlainText);
    l->setOpenExternalLinks(false);
  }
  ui->imgWarning->setPicture(art::warning, 2.0);
  ui->statementLayout->setAlignment(ui->imgWarning, Qt::AlignTop);
  QFont heading = ui->lblHeading->font();
  heading.setBold(true);
  ui->lblHeading->setFont(heading);
  // The fingerprint in a fixed font, selectable so that it can be copied
  // and compared.
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  ui->lblSha256->setFont(fixed);
  for (QLabel* l : {ui->lblSubject, ui->lblIssuer, ui->lblSha256})
    l->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  // The values' column is wide enough for one fingerprint line; the
  // statement wraps within the dialog's width.
  const int valueWidth = QFontMetrics(fixed).horizontalAdvance(QStringLiteral("AB:").repeated(16)) +
                         2 * ui->lblSha256->margin() + QFontMetrics(fixed).averageCharWidth();
  ui->grpDetailsLayout->setColumnMinimumWidth(1, std::max(valueWidth, fontMetrics().averageCharWidth() * 40));
  for (QLabel* l : {ui->lblHeading, ui->lblAdvice}) l->setMinimumWidth(fontMetrics().averageCharWidth() * 50);
  connect(ui->btnTrust, &QPushButton::clicked, this, &QDialog::accept);
  connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  ui->btnCancel->setFocus(Qt::OtherFocusReason);
}

TfrmCertificate::~TfrmCertificate() = default;

void TfrmCertificate::setCertificate(std::string_view server, const CertificateInfo& info, std::string_view trusted) {
  const std::string host = escapeControl(server);
  if (ChangedSinceTrusted(trusted, info)) {
    ui->lblHeading->setText(q("The certificate of " + host + " has changed since you trusted it."));
    ui->lblAdvice->setText(q(
        "The server now presents another certificate than the one you trusted for this account. Servers "
        "renew their certificates from time to time, but a changed certificate can also mean that someone "
        "is intercepting the connection. Trust the new certificate only if you expected the change."));
  } else {
    ui->lblHeading->setText(q(UntrustedCertificateLine(server, info) + "."));
    ui->lblAdvice->setText(q(
        "Brivane cannot confirm that this certificate belongs to " + host + ". Trust it only if you know "
        "that the server uses it, for example because its SHA-256 fingerprint matches the one your "
        "provider gives. Brivane then accepts this certificate, and only this one, for this account."));
  }
  ui->lblSubject->setText(q(Wrappable(info.subject)));
  ui->lblIssuer->setText(q(Wrappable(info.issuer)));
  ui->lblValidFrom->setText(q(shownTime(info.notBefore)));
  ui->lblValidTo->setText(q(shownTime(info.notAfter)));
  ui->lblSha256->setText(q(shownFingerprint(info.sha256)));
  ui->lblReason->setText(q(Wrappable(info.reason)));
  FitMinimumHeight(*this);
  adjustSize();
}

bool ReviewCertificate(QWidget* parent, std::string_view server, const CertificateInfo& info,
                       std::string_view trusted) {
  TfrmCertificate dialog(parent);
  dialog.setCertificate(server, info, trusted);
  if (gHook) return gHook(dialog);
  return dialog.exec() == QDialog::Accepted;
}

void SetCertificateReviewHook(CertificateReviewHook hook) { gHook = std::move(hook); }

}  // namespace brivane
