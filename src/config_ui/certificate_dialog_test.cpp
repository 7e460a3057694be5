#include "config_ui/certificate_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "config_ui/size_hint_check.h"

namespace brivane {
namespace {

const std::string kFingerprint =
    "0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9:0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9";

// A certificate as the core hands it over: control characters already
// escaped, mark-up left as the server sent it.
CertificateInfo certificate() {
  CertificateInfo info;
  info.subject = "CN=<b>mail</b> \\x07&amp;,O=Example & Co";
  info.issuer = "CN=" + std::string(120, 'x');  // no place to wrap but the ones made for it
  info.notBefore = "2026-12-01T00:00:00Z";
  info.notAfter = "2027-03-01T23:59:59Z";
  info.sha256 = kFingerprint;
  info.problem = CertificateProblem::UnknownIssuer;
  info.reason = "unknown issuer or self-signed";
  return info;
}

std::string labelText(const QDialog& d, const char* name) {
  const auto* l = d.findChild<QLabel*>(name);
  EXPECT_NE(l, nullptr) << name;
  return l ? l->text().toStdString() : std::string();
}

std::string withoutBreaks(std::string text) {
  for (size_t at; (at = text.find("\xE2\x80\x8B")) != std::string::npos;) text.erase(at, 3);
  return text;
}

// The statement says first whether the certificate changed since the user
// trusted another one; an equal fingerprint in another spelling is no
// change. The server's name is escaped; everything shows as plain text.
// Enter trusts nothing: Cancel is the default.
TEST(CertificateDialog, StatementAndPlainDetails) {
  std::string lower = kFingerprint;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const struct {
    const char* what;
    std::string trusted;
    std::string heading;
  } cases[] = {
      {"never trusted", "",
       "The certificate of mail\\x07.example is not trusted (unknown issuer or self-signed)."},
      {"another one trusted", "AA:" + kFingerprint.substr(3),
       "The certificate of mail\\x07.example has changed since you trusted it."},
      {"the same one, other spelling", lower,
       "The certificate of mail\\x07.example is not trusted (unknown issuer or self-signed)."},
  };
  for (const auto& c : cases) {
    TfrmCertificate dialog;
    dialog.setCertificate("mail\x07.example", certificate(), c.trusted);
    EXPECT_EQ(labelText(dialog, "lblHeading"), c.heading) << c.what;
  }

  TfrmCertificate dialog;
  dialog.setCertificate("mail.example", certificate(), "");
  for (const QLabel* l : dialog.findChildren<QLabel*>())
    EXPECT_EQ(l->textFormat(), Qt::PlainText) << l->objectName().toStdString();
  EXPECT_EQ(withoutBreaks(labelText(dialog, "lblSubject")), "CN=<b>mail</b> \\x07&amp;,O=Example & Co");
  EXPECT_EQ(withoutBreaks(labelText(dialog, "lblIssuer")), certificate().issuer);
  EXPECT_EQ(std::pair(labelText(dialog, "lblValidFrom"), labelText(dialog, "lblValidTo")),
            std::pair(std::string("2026-12-01 00:00:00 UTC"), std::string("2027-03-01 23:59:59 UTC")));
  EXPECT_EQ(labelText(dialog, "lblSha256"), kFingerprint.substr(0, 48) + "\n" + kFingerprint.substr(48));
  EXPECT_EQ(labelText(dialog, "lblReason"), "unknown issuer or self-signed");
  EXPECT_TRUE(dialog.findChild<QPushButton*>("btnCancel")->isDefault());
  EXPECT_FALSE(dialog.findChild<QPushButton*>("btnTrust")->isDefault());
}

// Long runs get places to wrap without losing a character; a multi-byte
// character is never split; an endless text ends in "...".
TEST(CertificateDialog, WrappableTexts) {
  const std::string zw = "\xE2\x80\x8B";
  const struct {
    const char* what;
    std::string text;
    size_t run, max;
    std::string wrapped;
  } cases[] = {
      {"after commas and slashes", "CN=a,O=b/c", 24, 100, "CN=a," + zw + "O=b/" + zw + "c"},
      {"a long run", "abcdefg", 3, 100, "abc" + zw + "def" + zw + "g"},
      {"UTF-8 counted by characters", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", 2, 100,
       "\xC3\xA4\xC3\xB6" + zw + "\xC3\xBC\xC3\x9F"},
      {"too long", "abcdef", 100, 4, "abcd..."},
  };
  for (const auto& c : cases) EXPECT_EQ(Wrappable(c.text, c.run, c.max), c.wrapped) << c.what;
}

// Both statements fit with a long name and a fingerprint line.
TEST(CertificateDialog, SizeHintsFit) {
  for (const char* trusted : {"", "AA:BB"}) {
    TfrmCertificate dialog;
    dialog.setCertificate("imap.a-rather-long-host-name.example.com", certificate(), trusted);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_TRUE(ControlsThatDoNotFit(dialog).isEmpty()) << ControlsThatDoNotFit(dialog).join("\n").toStdString();
  }
}

}  // namespace
}  // namespace brivane
