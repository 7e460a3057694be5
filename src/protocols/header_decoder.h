#pragma once
#include <string>
#include <string_view>

// Decoding of Internet message header text: RFC 2047 encoded words and
// charsets. Pure functions over bytes; the results are UTF-8. Address lists
// and dates are read by address_list.h and mail_date.h.
namespace brivane {

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

// The folding white space of header fields: blank, tab, CR, LF.
inline bool isHeaderSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Header text outside encoded words as UTF-8 (read as Windows-1252 when it
// is not valid UTF-8), without CR, LF or NUL.
std::string headerPlainText(std::string_view bytes);

}  // namespace brivane
