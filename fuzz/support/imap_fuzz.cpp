#include "support/imap_fuzz.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "common/text.h"
#include "protocols/imap_parse.h"
#include "protocols/imap_utf7.h"

namespace brivane {
namespace {

// Every LF ends a piece, so n line ends make n + 1 pieces (the last one
// possibly empty).
std::vector<std::string_view> splitLf(std::string_view bytes) {
  std::vector<std::string_view> pieces;
  for (bool more = true; more;) {
    std::string_view piece;
    more = takeLine(bytes, piece);
    pieces.push_back(piece);
  }
  return pieces;
}

}  // namespace

size_t fuzzImapReplyLines(std::string_view bytes) {
  std::vector<std::string> lines;
  for (std::string_view piece : splitLf(bytes)) {
    lines.push_back(trimControl(piece));
    // Any name, blanks at its ends included, sent quoted in a LIST line
    // reads back byte for byte.
    if (parseImapListLine("LIST () \"/\" " + imapQuotedForm(piece)) != piece) std::abort();
  }
  size_t digest = 0;
  ImapReply reply;
  if (auto error = parseImapCollectedLines(lines, reply)) digest += error->size();
  digest += reply.status.size();
  ImapReply selected = reply;
  keepExpectedImapLines(selected, {"FLAGS", "OK", "EXISTS", "RECENT", "[READ-WRITE]", "[ALERT]"});
  ImapMailbox mailbox;
  applyImapSelect(mailbox, selected);
  for (const std::string& line : reply.textLines) {
    if (auto name = parseImapListLine(line)) {
      digest += name->size();
    }
    const ImapLiteral lit = findImapLiteral(line);
    digest += lit.size + static_cast<size_t>(lit.kind) + (isImapDataLine(line) ? 1 : 0);
  }
  for (uint32_t n : parseImapSearch(reply.textLines))
    if (n == 0) std::abort();  // no message number 0
  digest += parseImapSearch(reply.textLines).size() + mailbox.totalMessages + mailbox.flags.size();
  return digest;
}

size_t fuzzImapFetchLines(std::string_view bytes) {
  const std::vector<std::string_view> pieces = splitLf(bytes);
  size_t digest = 0;
  ImapFetchParser parser({"RFC822.HEADER", "BODY[TEXT]"});
  if (!parser.start(pieces[0])) return digest;
  for (size_t i = 1; i < pieces.size(); ++i) {
    const int target = parser.literalTarget();
    if (target < -1 || target > 1) std::abort();  // only a wanted item's index
    parser.resume(pieces[i]);
  }
  const ImapFetchItem& item = parser.item();
  if (item.values.size() != 2) std::abort();
  digest += item.messageNumber + item.uid.size() + item.flags.size();
  for (const ImapFetchValue& value : item.values)
    digest += value.bytes.size() + value.literalSize + static_cast<size_t>(value.kind);
  return digest;
}

size_t fuzzModifiedUtf7(std::string_view bytes) {
  size_t digest = 0;
  if (auto decoded = tryDecodeModifiedUtf7(bytes)) digest += decoded->size();
  digest += decodeModifiedUtf7(bytes).size();
  if (auto encoded = tryEncodeModifiedUtf7(bytes)) {
    for (char c : *encoded)
      if (c < 0x20 || c > 0x7E) std::abort();
    const auto back = tryDecodeModifiedUtf7(*encoded);
    if (!back || *back != bytes) std::abort();
    digest += encoded->size();
  } else if (isValidUtf8(bytes)) {
    std::abort();  // every well-formed UTF-8 text has an encoding
  }
  return digest;
}

}  // namespace brivane
