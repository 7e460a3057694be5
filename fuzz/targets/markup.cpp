// The list mark-up: the bytes as a row (parsed and laid out with fixed
// metrics, then elided), and the bytes as a text that EscapeMarkup makes safe:
// parsing the escaped form gives back exactly that text (control characters
// as blanks, as the parser shows them) and no tag at all.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "markup/markup_layout.h"
#include "markup/markup_parser.h"

using namespace brivane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzMarkupOnce(data, size);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string escaped = EscapeMarkup(text);
  if (escaped.size() > kMaxMarkupBytes) return 0;  // the parser keeps only the first part
  std::string shown;
  for (const MarkupToken& token : parseMarkup(escaped)) {
    if (token.kind == MarkupToken::Kind::Tag) std::abort();
    shown += token.text;
  }
  std::string expected(text);
  for (char& c : expected)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  if (shown != expected) std::abort();
  return 0;
}
