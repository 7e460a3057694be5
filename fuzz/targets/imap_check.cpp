// A whole IMAP account check (see check_run.h): login, folder list, SELECT,
// STATUS, SEARCH and the FETCHes of headers, UIDs and (bit 0 of the first
// byte) previews, all answered by the fuzz bytes.
#include <string>

#include "check_run.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  TEmlAccount account;
  account.name = "Imap box";
  account.server = "imap.example";
  account.username = "ann";
  account.password = "secret";
  account.port = 143;
  // A path longer than any displayed width among them (see the dictionary).
  account.folders = {"INBOX;Inbox", "Sent Items;Sent", "Entw\xC3\xBCrfe;Drafts",
                     "Lists/" + std::string(110, 'x') + ";Lists"};
  fuzz::runCheck(std::move(account), data[0] & 1,
                 std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
