#pragma once
#include <string>
#include <string_view>

// UTF-16LE <-> UTF-8, as the registry holds its strings.
namespace brivane {

// UTF-8 to UTF-16LE bytes (no terminator). Bytes that are not well-formed
// UTF-8 are read as Windows-1252, except the three-byte form of a UTF-16
// surrogate (as utf16LeToWtf8 writes an unpaired one), which becomes that
// unit again.
std::string utf8ToUtf16Le(std::string_view utf8);

// UTF-16LE bytes to UTF-8. An unpaired surrogate becomes U+FFFD; an odd last
// byte is ignored. With stopAtNul the text ends at the first U+0000.
std::string utf16LeToUtf8(std::string_view bytes, bool stopAtNul = false);

// The same, but an unpaired surrogate keeps its value in the three-byte form
// (not valid UTF-8), so that utf8ToUtf16Le gives back the very same units.
std::string utf16LeToWtf8(std::string_view bytes);

// True when the UTF-16LE bytes hold no unpaired surrogate (and are of even length).
bool isWellFormedUtf16Le(std::string_view bytes);

}  // namespace brivane
