#include "checking/checker_rows.h"

#include "common/text.h"
#include "protocols/mail_message.h"

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

std::string previewText(std::string_view raw) {
  // Only the start matters: a few bytes per character are enough.
  std::string text;
  text.reserve(std::min<size_t>(raw.size(), kPreviewLength * 4 + 8));
  bool cut = false;
  for (char c : raw) {
    if (c == '\r' || c == '\n') continue;
    if (text.size() >= kPreviewLength * 4 + 4) {
      cut = true;
      break;
    }
    text.push_back(c);
  }
  // A multi-byte sequence cut off at the end of the kept bytes is not a
  // reason to take the whole text as Windows-1252.
  std::string_view head = text;
  for (size_t back = 1; cut && back <= 3 && back <= head.size(); ++back) {
    const auto c = static_cast<unsigned char>(head[head.size() - back]);
    if (c >= 0xC0) {
      if (utf8SequenceLength(head.substr(head.size() - back)) == 0) head.remove_suffix(back);
      break;
    }
    if (c < 0x80) break;
  }
  const std::string utf8 = isValidUtf8(head) ? std::string(head) : windows1252ToUtf8(text);
  return rowText(utf8, kPreviewLength);
}

std::string folderKey(std::string_view name) { return asciiUpper(trimControl(name)); }

}  // namespace brivane
