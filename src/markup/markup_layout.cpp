#include "markup/markup_layout.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/text.h"
#include "markup/markup_parser.h"

namespace brivane {
namespace {

// A whole number of at most six digits (no sign); nullopt otherwise.
std::optional<int> parseNumber(std::string_view s) {
  if (s.empty() || s.size() > 6) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

int scaled(int v, double scale) { return static_cast<int>(std::lround(v * scale)); }

class RowBuilder {
 public:
  RowBuilder(const LayoutStyle& style, const PictureCatalog& pictures, const TextMetrics& metrics)
      : style_(style), pictures_(pictures), metrics_(metrics), font_(style.font), color_(style.color) {
    // Room for a typical list row (two lines, a few runs and pictures), so
    // laying it out does not grow the vectors step by step.
    row_.lines.reserve(2);
    row_.texts.reserve(4);
    row_.pictures.reserve(2);
    startLine();
  }

  // Takes the token's text: the tokens of a row are laid out once.
  void add(MarkupToken& tok) {
    if (tok.kind == MarkupToken::Kind::Text) {
      addText(tok.text);
      return;
    }
    const std::string& name = tok.text;
    if (name == "b") {
      font_.bold = !tok.closing;
    } else if (name == "i") {
      font_.italic = !tok.closing;
    } else if (name == "font") {
      fontTag(tok);
    } else if (name == "br") {
      finishLine();
      startLine();
    } else if (name == "img" && !tok.closing) {
      picture(tok);
    } else if (name == "ind" && !tok.closing) {
      if (const std::string* x = tok.attribute("x")) {
        if (auto v = parseNumber(*x)) pen_ = std::max(pen_, *v);
      }
    } else if (name == "p") {
      paragraph(tok);
    } else if (name == kRightTabName && !tok.closing && !tabbed_) {
      tabbed_ = true;
      tabPen_ = pen_;
      tabText_ = row_.texts.size();
      tabPicture_ = row_.pictures.size();
    }
    // Any other tag is skipped.
  }

  RowLayout finish() {
    finishLine();
    for (const LaidOutLine& l : row_.lines) {
      row_.height += l.height;
      row_.width = std::max(row_.width, l.width);
    }
    return std::move(row_);
  }

 private:
  void startLine() {
    LaidOutLine line;
    line.top = row_.lines.empty() ? 0 : row_.lines.back().top + row_.lines.back().height;
    line.align = paragraph_;
    row_.lines.push_back(line);
    pen_ = 0;
    lineTextHeight_ = 0;
    linePictureHeight_ = 0;
    middle_ = false;
    tabbed_ = false;
    firstText_ = row_.texts.size();
    firstPicture_ = row_.pictures.size();
  }

  bool lineEmpty() const {
    return row_.texts.size() == firstText_ && row_.pictures.size() == firstPicture_;
  }

  void addText(std::string& text) {
    if (text.empty()) return;
    LaidOutText t;
    t.line = static_cast<int>(row_.lines.size()) - 1;
    t.x = pen_;
    t.width = metrics_.width(text, font_);
    t.height = metrics_.lineHeight(font_);
    t.text = std::move(text);
    t.font = font_;
    t.color = color_;
    pen_ += t.width;
    lineTextHeight_ = std::max(lineTextHeight_, t.height);
    row_.texts.push_back(std::move(t));
  }

  void fontTag(const MarkupToken& tok) {
    if (tok.closing) {
      // The closing tag restores the control's font size and colour; bold
      // and italic stay with their own tags.
      font_.family = style_.font.family;
      font_.points = style_.font.points;
      color_ = style_.color;
      return;
    }
    if (const std::string* c = tok.attribute("color")) color_ = markupColor(*c);
    if (const std::string* s = tok.attribute("size")) {
      if (auto v = parseNumber(*s)) {
        static constexpr int kHtmlSizes[] = {8, 10, 12, 14, 16};
        if (*v >= 1 && *v <= 5) {
          font_.points = kHtmlSizes[*v - 1];
        } else if (*v >= kMinFontPoints && *v <= kMaxFontPoints) {
          font_.points = *v;
        }
      }
    }
  }

  void picture(const MarkupToken& tok) {
    const std::string* src = tok.attribute("src");
    if (src == nullptr) return;
    auto size = pictures_.find(*src);
    if (!size) return;
    LaidOutPicture p;
    p.line = static_cast<int>(row_.lines.size()) - 1;
    p.x = pen_;
    p.width = scaled(size->width, style_.pictureScale);
    p.height = scaled(size->height, style_.pictureScale);
    if (startsWithIgnoreCase(*src, "idx:")) {
      p.index = *parseNumber(std::string_view(*src).substr(4));
    } else {
      p.name = asciiLower(*src);
    }
    const std::string* align = tok.attribute("align");
    bool middle = align != nullptr && equalsIgnoreCase(*align, "middle");
    middle_ = middle_ || middle;
    p.middle = middle;
    pen_ += p.width;
    linePictureHeight_ = std::max(linePictureHeight_, p.height);
    row_.pictures.push_back(std::move(p));
  }

  void paragraph(const MarkupToken& tok) {
    ParagraphAlign a = ParagraphAlign::Left;
    if (!tok.closing) {
      if (const std::string* v = tok.attribute("align")) {
        if (equalsIgnoreCase(*v, "right")) a = ParagraphAlign::Right;
        if (equalsIgnoreCase(*v, "center")) a = ParagraphAlign::Center;
      }
    }
    paragraph_ = a;
    if (lineEmpty()) row_.lines.back().align = a;
  }

  // Moves the part after the line's tab against the layout width; the pen
  // follows, so the line is as wide as the row (or wider, never shifted left).
  void placeRightTab() {
    const int shift = std::max(0, style_.width - pen_);
    for (size_t i = tabText_; i < row_.texts.size(); ++i) {
      row_.texts[i].x += shift;
      row_.texts[i].rightTab = true;
    }
    for (size_t i = tabPicture_; i < row_.pictures.size(); ++i) row_.pictures[i].x += shift;
    pen_ += shift;
  }

  void finishLine() {
    LaidOutLine& line = row_.lines.back();
    int textHeight = lineTextHeight_ > 0 ? lineTextHeight_ : metrics_.lineHeight(font_);
    line.textHeight = textHeight;
    line.height = std::max(textHeight, linePictureHeight_);
    if (tabbed_) placeRightTab();
    line.width = pen_;
    int textOffset = middle_ ? (line.height - textHeight) / 2 : 0;
    int dx = 0;
    if (style_.width > 0 && line.align != ParagraphAlign::Left) {
      int room = std::max(0, style_.width - line.width);
      dx = line.align == ParagraphAlign::Right ? room : room / 2;
    }
    for (size_t i = firstText_; i < row_.texts.size(); ++i) {
      LaidOutText& t = row_.texts[i];
      t.y = line.top + textOffset + (textHeight - t.height);
      t.x += dx;
    }
    for (size_t i = firstPicture_; i < row_.pictures.size(); ++i) {
      LaidOutPicture& p = row_.pictures[i];
      p.y = line.top + (p.middle ? (line.height - p.height) / 2 : 0);
      p.x += dx;
    }
  }

  const LayoutStyle& style_;
  const PictureCatalog& pictures_;
  const TextMetrics& metrics_;
  RowLayout row_;
  FontSpec font_;
  Rgb color_;
  ParagraphAlign paragraph_ = ParagraphAlign::Left;
  int pen_ = 0;
  int lineTextHeight_ = 0;
  int linePictureHeight_ = 0;
  bool middle_ = false;
  bool tabbed_ = false;  // the line has had its right tab
  int tabPen_ = 0;
  size_t tabText_ = 0;
  size_t tabPicture_ = 0;
  size_t firstText_ = 0;
  size_t firstPicture_ = 0;
};

}  // namespace

void PictureCatalog::addPicture(std::string_view name, PictureSize size) {
  pictures[asciiLower(name)] = size;
}

std::optional<PictureSize> PictureCatalog::find(std::string_view src) const {
  if (startsWithIgnoreCase(src, "idx:")) {
    auto n = parseNumber(src.substr(4));
    if (!n || *n >= imageCount) return std::nullopt;
    return imageSize;
  }
  if (src.find(':') != std::string_view::npos) return std::nullopt;
  auto it = pictures.find(asciiLower(src));
  if (it == pictures.end()) return std::nullopt;
  return it->second;
}

int RowLayout::listRowHeight() const { return std::clamp(height - 2, 1, kMaxRowHeight); }

std::string RowLayout::plainText() const {
  std::string out;
  int line = 0;
  bool tabbed = false;  // the current line's tab is written
  for (const LaidOutText& t : texts) {
    for (; line < t.line; ++line) out += '\n', tabbed = false;
    if (t.rightTab && !tabbed) out += '\t', tabbed = true;
    out += t.text;
  }
  return out;
}

RowLayout layoutMarkup(std::string_view markup, const LayoutStyle& style,
                       const PictureCatalog& pictures, const TextMetrics& metrics) {
  RowBuilder builder(style, pictures, metrics);
  forEachMarkupToken(markup, [&](MarkupToken& tok) { builder.add(tok); });
  return builder.finish();
}

void elideRow(RowLayout& row, int width, const TextMetrics& metrics) {
  static constexpr std::string_view kEllipsis = "...";
  const size_t lineCount = row.lines.size();
  const auto lineOf = [&](int line) { return line >= 0 && static_cast<size_t>(line) < lineCount; };
  std::vector<int> right(lineCount, 0);
  for (const LaidOutText& t : row.texts)
    if (lineOf(t.line)) right[t.line] = std::max(right[t.line], t.x + t.width);
  for (const LaidOutPicture& p : row.pictures)
    if (lineOf(p.line)) right[p.line] = std::max(right[p.line], p.x + p.width);

  // Per line that is too wide: everything starting at or after cutAt goes.
  constexpr int kKeep = std::numeric_limits<int>::max();
  std::vector<int> cutAt(lineCount, kKeep);
  std::vector<bool> textCut(lineCount, false);
  for (size_t li = 0; li < lineCount; ++li)
    if (right[li] > width) cutAt[li] = width;
  for (LaidOutText& t : row.texts) {
    if (!lineOf(t.line) || cutAt[t.line] == kKeep || textCut[t.line]) continue;
    const int ellipsis = metrics.width(kEllipsis, t.font);
    if (t.x + t.width + ellipsis <= width) continue;
    // The most characters that fit with the ellipsis: never all of them,
    // which do not fit.
    const std::vector<size_t> ends = metrics.graphemeEnds(t.text);
    size_t lo = 0, hi = ends.empty() ? 0 : ends.size() - 1;
    while (lo < hi) {
      const size_t mid = (lo + hi + 1) / 2;
      if (t.x + metrics.width(std::string_view(t.text).substr(0, ends[mid - 1]), t.font) + ellipsis <= width)
        lo = mid;
      else
        hi = mid - 1;
    }
    t.text.resize(lo == 0 ? 0 : ends[lo - 1]);
    t.text += kEllipsis;
    t.width = metrics.width(t.text, t.font);
    cutAt[t.line] = t.x + 1;
    textCut[t.line] = true;
  }
  std::erase_if(row.texts, [&](const LaidOutText& t) { return lineOf(t.line) && t.x >= cutAt[t.line]; });
  std::erase_if(row.pictures, [&](const LaidOutPicture& p) {
    return lineOf(p.line) && cutAt[p.line] != kKeep && (p.x >= cutAt[p.line] || p.x + p.width > width);
  });
  row.width = 0;
  for (size_t li = 0; li < lineCount; ++li) {
    if (cutAt[li] != kKeep) row.lines[li].width = std::min(row.lines[li].width, width);
    row.width = std::max(row.width, row.lines[li].width);
  }
}

namespace {

// Characters that join the one before them into one grapheme.
bool extendsGrapheme(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
         (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) ||
         c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) ||
         (c >= 0xE0100 && c <= 0xE01EF);
}

bool isRegionalIndicator(char32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }

}  // namespace

std::vector<size_t> TextMetrics::graphemeEnds(std::string_view utf8) const {
  std::vector<size_t> ends;
  char32_t previous = 0;
  size_t flagHalves = 0;  // regional indicators in the current run
  size_t i = 0;
  while (i < utf8.size()) {
    size_t n = 0;
    const char32_t c = decodeUtf8(utf8.substr(i), n);
    if (n == 0) n = 1;  // a stray byte stands alone
    const bool joins = !ends.empty() && (extendsGrapheme(c) || previous == 0x200D ||
                                         (isRegionalIndicator(c) && flagHalves % 2 == 1));
    flagHalves = isRegionalIndicator(c) ? flagHalves + 1 : 0;
    i += n;
    if (joins) ends.back() = i;
    else ends.push_back(i);
    previous = c;
  }
  return ends;
}

int FixedMetrics::width(std::string_view utf8, const FontSpec& font) const {
  int per = static_cast<int>(std::lround(charWidth_ * font.points / 9.0)) + (font.bold ? 1 : 0);
  return static_cast<int>(utf8Length(utf8)) * per;
}

int FixedMetrics::lineHeight(const FontSpec& font) const {
  return static_cast<int>(std::lround(font.points * 5.0 / 3.0));
}

int fuzzMarkupOnce(const unsigned char* data, size_t size) {
  static const FixedMetrics metrics;
  PictureCatalog pictures;
  pictures.imageCount = 6;
  pictures.addPicture("hrfullwide", {300, 6});
  pictures.addPicture("throbbersml", {16, 16});
  LayoutStyle style;
  style.font.family = "Sans";
  style.width = 200;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RowLayout row = layoutMarkup(bytes, style, pictures, metrics);
  elideRow(row, 120, metrics);
  return row.listRowHeight();
}

}  // namespace brivane
