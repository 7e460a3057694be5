#pragma once
#include <optional>
#include <string>
#include <string_view>

// Folder names on the IMAP wire are written in modified UTF-7 (RFC 3501,
// section 5.1.3); inside the program they are UTF-8.
namespace brivane {

// UTF-8 to modified UTF-7: printable ASCII other than "&" as it is, "&" as
// "&-", every run of other characters as "&", modified base64 of its UTF-16
// code units, "-". Nothing when the text is not well-formed UTF-8.
std::optional<std::string> tryEncodeModifiedUtf7(std::string_view utf8);

// Modified UTF-7 to UTF-8. Nothing when the text is not well-formed modified
// UTF-7: a shifted run that lacks its closing "-", holds a character outside
// the modified base64 alphabet, encodes a printable ASCII character, encodes
// an odd number of octets or leaves non-zero padding bits, holds an unpaired
// UTF-16 surrogate, or directly follows another shifted run (a null shift).
// Bytes outside shifted runs are copied as they are.
std::optional<std::string> tryDecodeModifiedUtf7(std::string_view wire);

// The forms the session uses: a name that cannot be converted is used
// unchanged.
std::string encodeModifiedUtf7(std::string_view utf8);
std::string decodeModifiedUtf7(std::string_view wire);

}  // namespace brivane
