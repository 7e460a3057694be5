#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// Text helpers. Text inside the program is UTF-8; these helpers cut, trim,
// compare and convert it without ever splitting a multi-byte sequence.
namespace brivane {

// A hash map keyed by strings that is searched by view: a look-up of a
// key already present allocates nothing.
struct StringViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class Value>
using StringKeyedMap = std::unordered_map<std::string, Value, StringViewHash, std::equal_to<>>;

// Appends the UTF-8 form of a code point (invalid code points become U+FFFD).
void appendUtf8(std::string& out, char32_t cp);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Length in bytes of the well-formed UTF-8 sequence at the start of `bytes`,
// or 0 when the first byte does not begin one.
size_t utf8SequenceLength(std::string_view bytes);

// The code point of the well-formed UTF-8 sequence at the start of `bytes`,
// its length in `length`. When no sequence begins there, `length` is 0 and
// the result is the first byte's value (0 for an empty text).
char32_t decodeUtf8(std::string_view bytes, size_t& length);

// The value of a hexadecimal digit (either case), or -1.
int hexDigitValue(char c);

// UTF-16 surrogates: the pair of units that stands for a code point above
// U+FFFF, and the code point a high and a low unit stand for.
constexpr bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool isSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
constexpr char32_t fromSurrogates(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
constexpr char16_t highSurrogate(char32_t cp) { return static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)); }
constexpr char16_t lowSurrogate(char32_t cp) { return static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)); }

// Number of characters (code points) of a UTF-8 text; a byte that begins no
// valid sequence counts as one character.
size_t utf8Length(std::string_view text);

// The first `maxChars` characters of a UTF-8 text, never cut inside a sequence.
std::string utf8Cut(std::string_view text, size_t maxChars);

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) become U+0081, U+008D, U+008F, U+0090, U+009D, as
// Windows maps them, so every byte round-trips.
std::string windows1252ToUtf8(std::string_view bytes);

// The reverse of windows1252ToUtf8: false when a character has no byte.
bool utf8ToWindows1252(std::string_view utf8, std::string& out);

// Bytes from outside (servers, files) to UTF-8: well-formed UTF-8 sequences
// are kept, every other byte is read as Windows-1252.
std::string bytesToUtf8(std::string_view bytes);

// A certificate fingerprint typed or stored: 64 hex digits, colons between
// byte pairs optional, any case. Gives the "AB:CD:..." form, nothing for
// other text.
std::optional<std::string> normalizeFingerprint(std::string_view text);

// Untrusted text (from a server) made safe for a dialog, a log line, JSON or
// a terminal: invalid UTF-8 read as Windows-1252, control characters written
// as "\n", "\r", "\t" or "\xHH" (C1 characters as "\u0085"), a backslash
// as "\\".
std::string escapeControl(std::string_view text);

// Removes characters with codes 0..32 from both ends.
std::string trimControl(std::string_view text);

// The control characters: C0 (U+0000..U+001F), DEL and C1 (U+0080..U+009F).
constexpr bool isControlChar(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// A UTF-8 text with each control character replaced by one blank; bytes that
// begin no valid sequence are kept as they are.
std::string controlsToBlanks(std::string_view utf8);

// Lines end at LF; a CR just before the LF belongs to the line end, not to the line.
//
// Takes the first line off the front of `rest`: the text before the first LF
// (all of `rest` when there is none). Returns true when an LF ended it.
bool takeLine(std::string_view& rest, std::string_view& line);

// Takes the first complete line (one whose LF has arrived) off the front of
// a receive buffer; false, and `buffer` unchanged, while there is none.
bool takeCompleteLine(std::string& buffer, std::string& line);

// ASCII-only case folding (other bytes unchanged) and comparison.
constexpr char asciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace brivane
