// POP3 reply parsing without a session (parsePop3Reply, parseStatCount):
// the fuzz bytes are one reply as the server sends it. Besides crashes, a
// wrong answer stops the run: an indicator other than the three, more lines
// than the cap, an extended code that is no known one or not on "-ERR", or
// a STAT count outside 0..999999999.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Pop3Reply reply = parsePop3Reply(bytes);
  if (reply.indicator != "+OK" && reply.indicator != "-ERR" && reply.indicator != "+") std::abort();
  if (reply.lines.size() > Pop3Session::kMaxReplyLines) std::abort();
  if (reply.droppedLines > 0 && reply.lines.size() != Pop3Session::kMaxReplyLines) std::abort();
  if (!reply.extendedCode.empty()) {
    if (reply.indicator != "-ERR") std::abort();
    bool known = false;
    for (const char* code : {"IN-USE", "LOGIN-DELAY", "SYS/PERM", "SYS/TEMP", "AUTH"}) known |= reply.extendedCode == code;
    if (!known) std::abort();
  }
  // Every line of the reply, continuation lines included, was counted.
  size_t lines = 0;
  for (char c : bytes) lines += c == '\n';
  if (reply.lines.size() + reply.droppedLines > lines + 1) std::abort();
  try {
    const long count = parseStatCount(reply.text());
    if (count < 0 || count > 999999999) std::abort();
  } catch (const MalformedReplyError&) {
  }
  return 0;
}
