// Modified UTF-7 folder names: fuzzModifiedUtf7 checks that UTF-8 comes back
// unchanged through encoding and decoding; here also that a decoded wire name
// encodes to a well-formed wire name that decodes to the same text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "support/imap_fuzz.h"
#include "protocols/imap_utf7.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzzModifiedUtf7(bytes);
  if (const auto decoded = tryDecodeModifiedUtf7(bytes)) {
    if (!isValidUtf8(*decoded)) {
      // Bytes outside shifted runs are copied as they are: only a wire name
      // that was not UTF-8 itself may decode to something that is not.
      if (isValidUtf8(bytes)) std::abort();
      return 0;
    }
    const auto encoded = tryEncodeModifiedUtf7(*decoded);
    if (!encoded) std::abort();
    const auto again = tryDecodeModifiedUtf7(*encoded);
    if (!again || *again != *decoded) std::abort();
  }
  return 0;
}
