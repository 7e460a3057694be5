#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The words a message preview shows, taken from the bytes a check keeps of a
// message: its header and the start of its body (IMAP: the first 64 KiB of
// the text; POP3: the first 100 lines). GMime reads the MIME structure and
// undoes the transfer encodings; a body cut off inside a part still gives
// the text it holds.
//
//   std::string words = messagePreviewText(headerBytes, bodyBytes, 80);
//
// Thread-safe: GMime is initialised once per process (ensureGMime), and each
// call works on objects of its own.
namespace brivane {

// The first text/plain part that is no attachment, else the first text/html
// part reduced to its text (tags removed, block tags and <br> as blanks,
// head, style and script dropped, entities decoded); converted to UTF-8 from
// its charset, white space runs (line breaks included) collapsed to one
// blank, trimmed, control characters as blanks, at most `maxChars`
// characters. Empty when no text part is found.
std::string messagePreviewText(std::string_view header, std::string_view body, size_t maxChars);

// Text of an HTML fragment as the preview reads it (before white space is
// collapsed), in one pass. A <head> without its end tag (the kept bytes end
// inside it) gives the text after a <body> tag that follows, else the
// head's own words. `steps`, when given, grows by the bytes looked at: at
// most 16 times the input's size.
std::string htmlToText(std::string_view html, size_t* steps = nullptr);

// Initialises GMime once per process; safe to call from any thread.
void ensureGMime();

}  // namespace brivane
