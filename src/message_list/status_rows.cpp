#include "message_list/status_rows.h"

#include <optional>

#include "markup/markup_parser.h"
#include "message_list/list_markup.h"

namespace brivane {

using namespace listmarkup;

namespace {

// Greedy wrap at blanks; a word wider than a line keeps a line of its own.
std::string wrapSegment(std::string_view text, int firstWidth, int width, const StatusRowLayout& layout) {
  std::string out, line;
  int limit = firstWidth;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t blank = text.find(' ', pos);
    std::string_view word = text.substr(pos, blank == std::string_view::npos ? std::string_view::npos : blank - pos);
    pos = blank == std::string_view::npos ? text.size() : blank + 1;
    std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
    if (!line.empty() && layout.metrics.width(candidate, layout.font) > limit) {
      out += EscapeMarkup(line) + std::string(StatusContinuation);
      line = std::string(word);
      limit = width;
    } else {
      line = std::move(candidate);
    }
  }
  // Blanks at the end of a segment (before a forced break) stay.
  if (!text.empty() && text.back() == ' ') line += ' ';
  return out + EscapeMarkup(line);
}

// The width the picture and its two blanks take on a row's first line.
int pictureWidth(const StatusRowLayout& layout) {
  return static_cast<int>(16 * layout.pictureScale + 0.5) + layout.metrics.width("  ", layout.font);
}

}  // namespace

std::string statusPicture(std::string_view picture) {
  return std::string(StatusLead) + "<IMG src=\"" + std::string(picture) + "\" align=\"middle\">  ";
}

std::string StatusRow(std::string_view code, std::string_view server) {
  std::optional<StatusText> s = statusText(code, server);
  if (!s) return {};
  std::string row = statusPicture(s->picture) + EscapeMarkup(s->first);
  if (s->second) row += std::string(StatusContinuation) + EscapeMarkup(*s->second);
  return row;
}

std::string wrappedStatusRow(std::string_view code, std::string_view server, std::string_view detail,
                             const StatusRowLayout& layout) {
  std::optional<StatusText> s = statusText(code, server, detail);
  if (!s) return {};
  const int width = layout.listWidth - 4;
  const int rest = width - kStatusIndent;
  std::string row = statusPicture(s->picture) + wrapSegment(s->first, width - pictureWidth(layout), rest, layout);
  if (s->second) row += std::string(StatusContinuation) + wrapSegment(*s->second, rest, rest, layout);
  if (!detail.empty() && !s->detailUsed) row += std::string(StatusContinuation) + wrapSegment(detail, rest, rest, layout);
  return row;
}

std::string notSetUpRow(const StatusRowLayout& layout) {
  const int width = layout.listWidth - 4;
  return statusPicture("idx:2") +
         wrapSegment(NotSetUpText, width - pictureWidth(layout), width - kStatusIndent, layout);
}

}  // namespace brivane
