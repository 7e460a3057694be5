// IMAP reply parsing without a session: the first byte chooses the collected
// reply lines (status, SELECT, STATUS, SEARCH, LIST, literal announcements)
// or a FETCH data line with the pieces that follow its literals.
#include <cstdint>
#include <string_view>

#include "support/imap_fuzz.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1)
    fuzzImapFetchLines(bytes);
  else
    fuzzImapReplyLines(bytes);
  return 0;
}
