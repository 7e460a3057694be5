// Header decoding: the bytes as a message header (encoded words in any
// charset, folded lines, raw 8-bit bytes). The decoded From and Subject are
// valid UTF-8 without CR, LF or NUL, whatever the server sent.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "protocols/mail_message.h"

using namespace brivane;

namespace {

void checkField(std::string_view text) {
  if (!isValidUtf8(text) || text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MailMessage message =
      MailMessage::fromHeaderBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (message.from.empty()) std::abort();
  for (const MailAddress& from : message.from) {
    checkField(from.name);
    checkField(from.address);
  }
  checkField(message.subject);
  return 0;
}
