#include "checking/message_summary.h"

#include "common/text.h"

namespace brivane {

std::string rowText(std::string_view text, size_t width) {
  std::string utf8 = isValidUtf8(text) ? std::string(text) : bytesToUtf8(text);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      out.push_back(' ');
    } else if (c == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out.push_back(' ');  // U+0080..U+009F
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return utf8Cut(out, width);
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
