// The settings file reader: the bytes as a store file (UTF-8, UTF-16LE with
// its mark, or Windows-1252). A file that parses is written and parsed again
// to an equal tree (unknown lines kept in place); the saver's and the
// dialog's readings run on it, and the accounts found are saved and read back
// unchanged: the folder text and the stored password round-trip.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/registry_format.h"
#include "settings/accounts.h"
#include "settings/settings.h"

using namespace brivane;

namespace {

bool sameTree(const RegNode& a, const RegNode& b) {
  if (a.name != b.name || a.values != b.values || a.extraLines != b.extraLines ||
      a.children.size() != b.children.size())
    return false;
  for (size_t i = 0; i < a.children.size(); ++i)
    if (!sameTree(a.children[i], b.children[i])) return false;
  return true;
}

bool sameStored(const TEmlAccount& a, const TEmlAccount& b) {
  return a.name == b.name && a.isPOP == b.isPOP && a.username == b.username && a.password == b.password &&
         a.server == b.server && a.port == b.port && a.useTLS == b.useTLS && a.folders == b.folders;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The password and folder forms on their own, for any text.
  if (isValidUtf8(bytes)) {
    if (DecodeStoredPassword(EncodeStoredPassword(bytes)) != bytes) std::abort();
    const std::vector<std::string> folders = DelimitedTextToFolders(bytes);
    if (DelimitedTextToFolders(FoldersToDelimitedText(folders)) != folders) std::abort();
  }

  MemoryRegistryStore store;
  std::string error;
  if (!parseRegistryFile(bytes, store.root(), error)) return 0;
  const std::string written = serializeRegistryFile(store.root());
  if (!isValidUtf8(written)) std::abort();
  RegNode again;
  if (!parseRegistryFile(written, again, error) || !sameTree(store.root(), again)) std::abort();
  if (serializeRegistryFile(again) != written) std::abort();

  SaverSettings settings;
  TColor windowColor = clBlack;
  int32_t panelWidth = 0;
  AccountList accounts;
  LoadSettings(store, settings, windowColor, panelWidth, accounts);
  DialogSettings dialog;
  LoadDialogSettings(store, dialog);

  MemoryRegistryStore saved;
  SaveAccounts(saved, accounts);
  AccountList back;
  LoadAccounts(saved, back);
  if (back.size() != accounts.size()) std::abort();
  for (size_t i = 0; i < back.size(); ++i)
    if (!sameStored(back[i], accounts[i])) std::abort();
  return 0;
}
