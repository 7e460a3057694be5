#include "checking/checker_rows.h"

#include "common/text.h"
#include "protocols/mail_message.h"
#include "protocols/message_preview.h"

namespace brivane {

void fillMessageRow(MessageSummary& row, const MailMessage& message) {
  if (!message.from.empty()) {
    const MailAddress& from = message.from.front();
    row.setSender(from.name.empty() ? from.address : from.name);
  }
  if (trimControl(message.subject).empty())
    row.setSubject(kNoSubject);
  else
    row.setSubject(message.subject);
  row.received = message.date;
}

std::string previewText(std::string_view header, std::string_view body) {
  return rowText(messagePreviewText(header, body, kPreviewLength), kPreviewLength);
}

std::string folderKey(std::string_view name) { return asciiUpper(trimControl(name)); }

}  // namespace brivane
