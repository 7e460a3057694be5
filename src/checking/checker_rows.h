#pragma once
#include <string>
#include <string_view>

#include "checking/message_summary.h"

namespace brivane {

class MailMessage;
class Transport;

// Longest preview in characters.
inline constexpr size_t kPreviewLength = 80;
inline constexpr const char* kNoSubject = "[no subject]";

// Sender, subject and date of a message row from a decoded message object:
// the display name, else the address; the subject as decoded, or
// "[no subject]" when only blanks and control characters remain.
void fillMessageRow(MessageSummary& row, const MailMessage& message);

// The preview of a message from its kept bytes (header and the start of the
// body): the words of its first text part, at most 80 characters (see
// messagePreviewText).
std::string previewText(std::string_view header, std::string_view body);

// Folder paths of an account compare without surrounding blanks and control
// characters and with ASCII letters folded to upper case.
std::string folderKey(std::string_view name);

}  // namespace brivane
