#pragma once
#include <string>
#include <string_view>

#include "common/status_texts.h"
#include "markup/markup_layout.h"

// The status rows of the message list: the texts of common/status_texts.h
// with their picture, escaped and wrapped to the list's width.
namespace brivane {

// What wrapping a status row depends on: the row font and the metrics that
// measure it, the list's client width and the scale pictures are drawn at
// (logical dpi / 96).
struct StatusRowLayout {
  const TextMetrics& metrics;
  const FontSpec& font;
  int listWidth = 0;
  double pictureScale = 1.0;
};

// The start of every status row: the empty tags, the picture and two blanks.
std::string statusPicture(std::string_view picture);

// A status row's mark-up as one line per segment (server names escaped).
// Unknown code words give an empty text.
std::string StatusRow(std::string_view code, std::string_view server);

// The status row of `code` wrapped at blanks to the list: the first line
// beside the picture, the others indented. `detail` (the server's own words,
// a refused login) follows on a line of its own. Empty for an unknown code
// word.
std::string wrappedStatusRow(std::string_view code, std::string_view server, std::string_view detail,
                             const StatusRowLayout& layout);

// The one row of a list without accounts: "You have not set up any
// mailboxes ...", wrapped like a status row.
std::string notSetUpRow(const StatusRowLayout& layout);

}  // namespace brivane
