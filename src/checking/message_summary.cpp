#include "checking/message_summary.h"

#include "common/text.h"

namespace brivane {

std::string rowText(std::string_view text, size_t width) {
  const std::string utf8 = isValidUtf8(text) ? std::string(text) : bytesToUtf8(text);
  return utf8Cut(controlsToBlanks(utf8), width);
}

void MessageSummary::setSender(std::string_view text) { sender = rowText(text, kSenderWidth); }
void MessageSummary::setSubject(std::string_view text) { subject = rowText(text, kSubjectWidth); }
void MessageSummary::setPreview(std::string_view text) { preview = rowText(text, kPreviewWidth); }
void MessageSummary::setMessageUid(std::string_view text) { messageUid = rowText(text, kUidWidth); }
void MessageSummary::setFolder(std::string_view text) { folder = rowText(text, std::string_view::npos); }

std::string statusDetail(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) kept.push_back(c);
  }
  return trimControl(rowText(kept, MessageSummary::kStatusDetailWidth));
}

MessageSummary statusRow(const char* codeWord, RowKind kind, int32_t accountIndex, std::string_view serverText) {
  MessageSummary row;
  row.kind = kind == RowKind::Message ? RowKind::Progress : kind;
  row.setSubject(codeWord ? codeWord : "");
  if (!serverText.empty()) row.preview = statusDetail(serverText);
  row.accountIndex = accountIndex;
  return row;
}

}  // namespace brivane
