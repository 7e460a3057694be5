#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Decoding of Internet message header values: RFC 2047 encoded words, address
// lists and RFC 2822 dates. Pure functions over bytes; the results are UTF-8.
namespace brivane {

struct MailAddress {
  std::string name;     // display name, decoded
  std::string address;  // the address itself
  bool operator==(const MailAddress&) const = default;
};

// Replaces RFC 2047 encoded words by their text, converted from their charset
// to UTF-8 with iconv. Adjacent words separated only by white space join
// without it, and adjacent words in one charset are converted as one byte
// run (a character split over two words survives). Bytes invalid in their
// charset become U+FFFD; a word in an unknown charset or with a malformed
// encoding stays as it is. CR, LF and NUL are removed, decoded or raw. Text
// outside encoded words that is not valid UTF-8 is read as Windows-1252.
std::string decodeEncodedWords(std::string_view text);

// Bytes in `charset` converted to UTF-8, line breaks kept. The label is read
// as browsers read it (the WHATWG Encoding Standard's label table), so it
// names the larger charset such mail is written in: "iso-8859-1" is
// windows-1252, "shift_jis" CP932, "euc-kr" CP949, "gb2312" GB18030,
// "tis-620" windows-874; a few other labels iconv does not know are mapped
// too. Encoded words read their labels the same way. Without a charset,
// labelled ASCII, or in one iconv lacks: UTF-8 when valid, else
// Windows-1252.
std::string charsetToUtf8(std::string_view bytes, std::string_view charset);

// Splits a raw address-list header value (before decoding, so a decoded
// comma never splits a name) into addresses: "Name <addr>", "\"Name\" <addr>",
// "addr", "addr (Name)" and groups. Encoded words are opaque: a "," or ":"
// inside one splits nothing. Display names are then decoded; names and
// addresses are UTF-8 without CR, LF or NUL.
std::vector<MailAddress> parseAddressList(std::string_view value);

// An RFC 2822 date ("Tue, 3 Mar 2026 10:15:00 +0100", zone names included)
// as seconds since 1970-01-01 UTC; 0 for an empty or unreadable value.
int64_t parseMailDate(std::string_view value);

}  // namespace brivane
