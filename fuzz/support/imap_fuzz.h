#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Entry points for fuzzers (libFuzzer's LLVMFuzzerTestOneInput can call
// them directly): each takes arbitrary bytes, runs one IMAP parser over
// them, and must neither crash, hang nor grow memory beyond the input's
// size. They return a small digest so that the work cannot be optimised
// away.
namespace brivane {

// The bytes as reply lines (split at LF, CR and blanks trimmed): collected
// line parse, expected-keyword split, SELECT / STATUS / SEARCH / LIST
// parsing and literal announcements. Aborts on a wrong answer: a folder
// name that does not read back the same when sent quoted, an UNSEEN count
// from a line without UNSEEN, a message number 0 in a SEARCH result.
size_t fuzzImapReplyLines(std::string_view bytes);

// The bytes as a FETCH data line followed by the pieces that follow its
// literals (split at LF).
size_t fuzzImapFetchLines(std::string_view bytes);

// Modified UTF-7 both ways; aborts when a UTF-8 text does not come back
// unchanged from encoding and decoding, or an encoded name is not printable
// ASCII.
size_t fuzzModifiedUtf7(std::string_view bytes);

}  // namespace brivane
