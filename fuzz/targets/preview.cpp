// The message preview: MIME structure, transfer encodings, charsets and
// HTML reduction over a header and a body. The fuzz bytes up to the first
// NUL byte pair are the header, the rest the body. A wrong answer stops the
// run: a preview longer than 80 characters, not valid UTF-8, or holding a
// control character; and the HTML reduction must look at no more than 16
// times the body's bytes (one pass, whatever the body holds).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "protocols/message_preview.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t split = bytes.find(std::string_view("\0\0", 2));
  const std::string_view header = split == std::string_view::npos ? bytes : bytes.substr(0, split);
  const std::string_view body = split == std::string_view::npos ? std::string_view() : bytes.substr(split + 2);

  const std::string preview = messagePreviewText(header, body, 80);
  if (!isValidUtf8(preview) || utf8Length(preview) > 80) std::abort();
  for (size_t i = 0; i < preview.size(); ++i) {
    const auto c = static_cast<unsigned char>(preview[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    if (c == 0xC2 && i + 1 < preview.size() && static_cast<unsigned char>(preview[i + 1]) <= 0x9F) std::abort();
  }
  if (!preview.empty() && (preview.front() == ' ' || preview.back() == ' ')) std::abort();

  size_t steps = 0;
  htmlToText(body, &steps);
  if (steps > 16 * body.size() + 64) std::abort();
  return 0;
}
