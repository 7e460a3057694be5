#pragma once
#include <string>
#include <string_view>

// UTF-16LE <-> UTF-8, as the registry holds its strings.
namespace brivane {

// UTF-8 to UTF-16LE bytes (no terminator). Bytes that are not well-formed
// UTF-8 are read as Windows-1252.
std::string utf8ToUtf16Le(std::string_view utf8);

// UTF-16LE bytes to UTF-8. An unpaired surrogate becomes U+FFFD; an odd last
// byte is ignored. With stopAtNul the text ends at the first U+0000.
std::string utf16LeToUtf8(std::string_view bytes, bool stopAtNul = false);

// The same for big-endian input.
std::string utf16BeToUtf8(std::string_view bytes);

// True when the UTF-16LE bytes hold no unpaired surrogate (and are of even length).
bool isWellFormedUtf16Le(std::string_view bytes);

}  // namespace brivane
