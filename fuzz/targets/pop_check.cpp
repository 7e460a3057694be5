// A whole POP3 account check (see check_run.h): greeting, login, STAT, UIDL,
// TOP and the header reading, with previews when bit 0 of the first byte is
// set, all answered by the fuzz bytes. Bit 1 sets the message count of a
// previous check, so that "new mail" is judged against it.
#include "check_run.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  TEmlAccount account;
  account.name = "Pop box";
  account.isPOP = true;
  account.server = "pop.example";
  account.username = "ann";
  account.password = "secret";
  account.port = 110;
  account.lastMessageCount = (data[0] & 2) ? 2 : 0;
  fuzz::runCheck(std::move(account), data[0] & 1,
                 std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
