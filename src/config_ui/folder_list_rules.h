#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "settings/account.h"

// The account editor's rules that need no window: the port a type or
// encryption change leads to, when the details are complete enough to list
// folders, the folder rows drawn from the server's paths, and the folder
// selection read back from the ticked rows. TfrmEditAccount wires them to
// its controls.
namespace brivane {

// A port text that is a port number: digits only, 1 to 65535.
bool IsValidPort(const std::string& text);

// Whether a folder listing can be tried: a server holding a ".", a username,
// a password and a valid port.
bool DetailsComplete(const std::string& server, const std::string& username, const std::string& password,
                     const std::string& port);

// The port text after the user picks another encryption mode: the
// protocol's default ports move with TLS (IMAP 143 <-> 993, POP 110 <-> 995;
// a POP "992" of older stores counts as a TLS port and becomes 110 when TLS
// is left). STARTTLS and None share the plain port. Any other text is kept.
std::string PortAfterEncryptionChange(bool isPOP, Encryption from, Encryption to, const std::string& port);

// The port text after the account type changes to POP (`toPOP`) or IMAP:
// the plain port follows the type; with TLS, 993 becomes 995 and 995 or 992
// becomes 993. Any other text is kept.
std::string PortAfterTypeChange(bool toPOP, Encryption mode, const std::string& port);

// The most rows the Inbox rule ticks by itself: a server that names
// thousands of folders INBOX gets only the first of them ticked, and the
// selection stays small enough for the store.
inline constexpr size_t kMaxAutoTicks = 20;

// The selection of an IMAP account whose folders were never listed.
inline constexpr const char* kInboxSelection = "INBOX;Inbox";

// One row of the folder list.
struct FolderRow {
  std::string path;     // as the server named it
  std::string caption;  // the folder's own name: the text after the last "." ("Inbox" for any INBOX)
  std::string markup;   // indent of 12 pixels per level, the folder picture, the escaped caption
  bool ticked = false;  // the Inbox rows (the first kMaxAutoTicks of them)
};

// The rows for the server's folder paths: sorted by byte order (so "INBOX"
// precedes lower-case names and children follow their parent), one level
// per "." in the path, the Inbox rows ticked.
std::vector<FolderRow> FolderRowsFromPaths(std::vector<std::string> paths);

// Ticks exactly the rows named by the saved selection ("path;caption"
// entries; the first row of each path).
void RestoreTicks(std::vector<FolderRow>& rows, const std::vector<std::string>& selection);

// The ticks of a new listing, so that listing again never loses what the
// user chose: the ticks and unticks of the folder list shown before
// (`shown`, its selection) carry over; when none was shown, the account's
// `stored` selection is restored; only when there is neither do the Inbox
// rows stay ticked.
void ApplyTicks(std::vector<FolderRow>& rows, const std::optional<std::vector<std::string>>& shown,
                const std::vector<std::string>& stored);

// The folders OK keeps while no folder list is shown: those of the list
// shown before, else the stored ones, else Inbox (an IMAP account never
// watches nothing because its first listing had not yet succeeded).
std::vector<std::string> SelectionWithoutList(const std::optional<std::vector<std::string>>& shown,
                                              const std::vector<std::string>& stored);

// The selection of the ticked rows, as "path;caption" entries in row order.
// `ticked[i]` belongs to `rows[i]`.
std::vector<std::string> SelectionFromRows(const std::vector<FolderRow>& rows, const std::vector<bool>& ticked);

}  // namespace brivane
