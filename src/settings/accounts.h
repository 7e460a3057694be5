#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_store.h"
#include "settings/account.h"

// The account list in the store: one sub-key of Accounts per account, named
// by its position and its name ("0 Home mail", "1 Work").
namespace brivane {

// Fills `Accounts` from the key Accounts. Sub-keys are taken in the order of
// the number before their first space (a stable sort; sub-keys without such a
// number come last, in enumeration order), so lists of eleven and more
// accounts keep their order. Values of the wrong type are skipped.
void LoadAccounts(RegistryStore& store, AccountList& Accounts);

// Replaces every sub-key of Accounts by the given list.
void SaveAccounts(RegistryStore& store, const AccountList& Accounts);

// The stored forms of an encryption mode: "TLS", "STARTTLS", "None"; any
// other text (any case accepted) gives nothing.
std::string_view EncryptionName(Encryption mode);
std::optional<Encryption> ParseEncryption(std::string_view text);

// The stored forms of a sign-in kind: "Password", "PasswordCommand",
// "TokenCommand", "Keyring"; any other text (any case accepted) gives nothing.
std::string_view SignInName(SignIn kind);
std::optional<SignIn> ParseSignIn(std::string_view text);

// The level of a stored "panelPrivacy" dword: 0..3 as PanelPrivacy numbers
// them; any other number is CountsOnly.
PanelPrivacy PanelPrivacyFromDword(uint32_t stored);

// The default port of a protocol and encryption mode: 993 and 995 with TLS,
// 143 and 110 otherwise.
int DefaultPort(bool isPOP, Encryption mode);

// Whether two accounts name the same server and port: a trusted
// certificate belongs to them and goes when either changes.
bool SameEndpoint(const TEmlAccount& a, const TEmlAccount& b);

// The bitwise complement of every byte (its own inverse).
std::string ScramblePassword(std::string_view text);

// The stored form of a password: the scrambled UTF-8 bytes, each taken as
// the Windows-1252 character of that byte (the five bytes the code page
// leaves undefined as U+0081, U+008D, U+008F, U+0090, U+009D).
std::string EncodeStoredPassword(std::string_view password);
// The reverse. Characters outside Windows-1252 become "?"; unscrambled bytes
// that are not UTF-8 (a password typed on Windows) are read as Windows-1252.
std::string DecodeStoredPassword(std::string_view stored);

// The sub-key name of the account at `index`: the index, a space and the
// name, with "\", CR, LF and NUL (which cannot stand in a key name) as "_".
std::string AccountKeyName(size_t index, std::string_view name);

// The "usersFolders" text: entries joined by "?", an entry holding a
// character of code 32 or below, a double quote or a "?" in double quotes
// (inner quotes doubled).
std::string FoldersToDelimitedText(const std::vector<std::string>& folders);
std::vector<std::string> DelimitedTextToFolders(std::string_view text);

// Parts of a folder entry "path;caption", trimmed: FolderPath is the part
// before the first ";" (empty without one), FolderCaption the part after it
// (the whole entry without one).
std::string FolderPath(std::string_view entry);
std::string FolderCaption(std::string_view entry);

}  // namespace brivane
