#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/registry_store.h"

// The registry export syntax the settings store file is kept in:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\torvex\Brivane\1.0\Main]
//   "pollInterval"=dword:000493e0
//   "notificationPath"="/usr/share/sounds/mail.wav"
//
// Written as UTF-8 with LF line ends; read, with LF or CR LF lines, as
// UTF-16LE when it starts with that byte-order mark (as Windows exports),
// else as UTF-8 (with or without its mark) when the whole file is valid
// UTF-8, else as Windows-1252 (an older "ANSI" export), so that a store
// exported on Windows loads unchanged. Keys, values and lines this program
// does not know are kept and written back; the lines after a key line that
// is not valid belong to no key and are written before the first key.
namespace brivane {

// Limits of a store file; a file beyond them is refused rather than loaded
// (and then never overwritten), so that memory and time stay bounded.
inline constexpr size_t kMaxStoreFileSize = 8u << 20;
inline constexpr size_t kMaxStoreKeys = 4096;
inline constexpr size_t kMaxValuesPerKey = 4096;

// Parses the file's bytes into `root` (one child per hive). False, with a
// reason in `error`, when the text is not a registry export.
bool parseRegistryFile(std::string_view bytes, RegNode& root, std::string& error);

// The file form of a tree (UTF-8, LF line ends).
std::string serializeRegistryFile(const RegNode& root);

}  // namespace brivane
