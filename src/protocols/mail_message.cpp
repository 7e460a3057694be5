#include "protocols/mail_message.h"

#include "common/text.h"
#include "protocols/header_decoder.h"
#include "protocols/mail_date.h"
#include "protocols/transport.h"

namespace brivane {
namespace {

bool isContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

}  // namespace

void MailMessage::clear() { *this = MailMessage(); }

bool MailMessage::addRawHeader(std::string line) {
  if (line.empty()) return true;
  if (rawHeaderBytes + line.size() > kMaxHeaderBytes) {
    ++droppedHeaderLines;
    return false;
  }
  rawHeaderBytes += line.size();
  rawHeaders.push_back(std::move(line));
  return true;
}

std::string MailMessage::headerValue(std::string_view name) const {
  for (size_t i = 0; i < rawHeaders.size(); ++i) {
    const std::string& line = rawHeaders[i];
    if (isContinuation(line)) continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string_view field(line.data(), colon);
    while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.remove_suffix(1);
    if (!equalsIgnoreCase(field, name)) continue;
    std::string value = trimControl(std::string_view(line).substr(colon + 1));
    for (size_t k = i + 1; k < rawHeaders.size() && isContinuation(rawHeaders[k]); ++k) {
      std::string more = trimControl(rawHeaders[k]);
      if (value.empty()) value = std::move(more);
      else if (!more.empty()) value.append(" ").append(more);
    }
    return value;
  }
  return {};
}

void MailMessage::decodeHeaders() {
  std::string type = headerValue("Content-Type");
  contentType = trimControl(bytesToUtf8(std::string_view(type).substr(0, type.find(';'))));
  if (contentType.empty()) contentType = "text/plain";
  subject = decodeEncodedWords(headerValue("Subject"));
  from = parseAddressList(headerValue("From"));
  date = parseMailDate(headerValue("Date"));

  auto text = [&](const char* name) { return decodeEncodedWords(headerValue(name)); };
  auto list = [&](const char* name) {
    std::string v = headerValue(name);
    return v.empty() ? std::vector<MailAddress>{} : parseAddressList(v);
  };
  contentTransferEncoding = text("Content-Transfer-Encoding");
  contentDisposition = text("Content-Disposition");
  messageId = text("Message-Id");
  newsgroups = text("Newsgroups");
  to = list("To");
  cc = list("Cc");
  bcc = list("Bcc");
  replyTo = list("Reply-To");
  sender = text("Sender");
  organization = text("Organization");
  receiptRecipient = text("Disposition-Notification-To");
  if (receiptRecipient.empty()) receiptRecipient = text("Return-Receipt-To");
  references = text("References");
  priority = text("Priority");
  if (priority.empty()) priority = text("X-Priority");
  mimeVersion = text("MIME-Version");
}

void MailMessage::addBodyLine(std::string_view line) {
  if (bodyBytes + line.size() + 2 > kMaxBodyBytes) {
    bodyTruncated = true;
    return;
  }
  bodyBytes += line.size() + 2;
  body.emplace_back(line);
}

// Every body line is kept as received (dot-unstuffed) up to the body cap;
// the rest is read and dropped. The MIME structure is the preview's business.
void MailMessage::readBody(Transport& transport) {
  for (;;) {
    std::string line = transport.readReplyLine();
    if (line == ".") return;
    std::string_view l = line;
    if (!l.empty() && l[0] == '.') l.remove_prefix(1);
    addBodyLine(l);
  }
}

std::string MailMessage::bodyText() const {
  std::string text;
  text.reserve(bodyBytes);
  for (size_t i = 0; i < body.size(); ++i) {
    if (i) text += "\r\n";
    text += body[i];
  }
  return text;
}

std::string MailMessage::headerText() const {
  std::string text;
  text.reserve(rawHeaderBytes + 2 * rawHeaders.size());
  for (const std::string& line : rawHeaders) text.append(line).append("\r\n");
  return text;
}

MailMessage MailMessage::fromHeaderBytes(std::string_view bytes) {
  MailMessage m;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    std::string_view line;
    takeLine(rest, line);
    if (line.empty()) break;
    m.addRawHeader(std::string(line));
  }
  m.decodeHeaders();
  return m;
}

}  // namespace brivane
