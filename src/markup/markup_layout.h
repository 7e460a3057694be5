#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "markup/markup_colors.h"

// Layout of one mark-up row: where every text run and picture goes, how tall
// each line is and how tall the row is. Pure arithmetic over a metrics
// interface, so the painter and the message list measure with the same fonts
// and tests can use fixed metrics. All sizes are device-independent pixels.
namespace brivane {

struct FontSpec {
  std::string family;
  double points = 9;
  bool bold = false;
  bool italic = false;
  friend bool operator==(const FontSpec&, const FontSpec&) = default;
};

// Text measurement in the font that paints.
class TextMetrics {
 public:
  virtual ~TextMetrics() = default;
  // Advance width of a UTF-8 text.
  virtual int width(std::string_view utf8, const FontSpec& font) const = 0;
  // Height of one line of text (ascent + descent).
  virtual int lineHeight(const FontSpec& font) const = 0;
  // Where a text may be cut: the byte offset after each character as the
  // reader sees it (a letter with its combining marks, a flag, an emoji
  // sequence), increasing, the last one the text's size. The default keeps
  // combining marks, variation selectors, emoji modifiers, joined (ZWJ)
  // sequences and flag pairs with the character before them.
  virtual std::vector<size_t> graphemeEnds(std::string_view utf8) const;
};

struct PictureSize {
  int width = 0;
  int height = 0;
};

// Sizes, at 96 dpi, of the pictures a control can draw: its image list (all
// images the same size, addressed by index) and its picture container
// (addressed by name, compared without regard to case).
struct PictureCatalog {
  PictureSize imageSize{16, 16};
  int imageCount = 0;
  std::map<std::string, PictureSize> pictures;  // keys in lower case

  void addPicture(std::string_view name, PictureSize size);
  std::optional<PictureSize> find(std::string_view src) const;
};

enum class ParagraphAlign { Left, Center, Right };

struct LayoutStyle {
  FontSpec font;          // the control's default font
  Rgb color{0, 0, 0};     // and its colour
  double pictureScale = 1.0;  // logical dpi / 96
  int width = 0;          // available width, for paragraph alignment
};

// Font sizes a FONT `size` may select; values outside are ignored.
inline constexpr int kMinFontPoints = 1;
inline constexpr int kMaxFontPoints = 72;
// Cap of a list row's height.
inline constexpr int kMaxRowHeight = 249;

struct LaidOutText {
  int line = 0;
  int x = 0;
  int y = 0;  // top of the text's line box
  int width = 0;
  int height = 0;
  std::string text;  // UTF-8, entities decoded
  FontSpec font;
  Rgb color;
  // After a right tab: placed so that the line's right-tab part ends at the
  // layout width. The painter anchors such a run at its end (x + width), so
  // the part ends there whatever the font's fractional advances.
  bool rightTab = false;
};

struct LaidOutPicture {
  int line = 0;
  int x = 0;
  int y = 0;
  int width = 0;   // scaled
  int height = 0;
  int index = -1;    // image-list index, or -1 for a named picture
  std::string name;  // lower case, named pictures only
  bool middle = false;  // centred on its line (align="middle")
};

struct LaidOutLine {
  int top = 0;
  int height = 0;
  int textHeight = 0;
  int width = 0;  // pen position at the line's end, before alignment
  ParagraphAlign align = ParagraphAlign::Left;
};

struct RowLayout {
  std::vector<LaidOutLine> lines;
  std::vector<LaidOutText> texts;
  std::vector<LaidOutPicture> pictures;
  int height = 0;  // sum of the line heights
  int width = 0;   // widest line

  // Height of the row in a list with automatic row height: the sum of its
  // line heights less 2, at most kMaxRowHeight (and at least 1).
  int listRowHeight() const;
  // All decoded text of the row, lines joined by "\n", a "\t" where a
  // line's right-tab part starts (for tests and search).
  std::string plainText() const;
};

// Lays out one row of mark-up. Besides the list's tags (B, I, FONT, BR, IMG,
// IND, P) it knows RTAB (kRightTab): what follows it on its line is moved
// right so that it ends at the layout width (LayoutStyle::width), or stays
// where it is when the line is already too wide; only a line's first tab
// counts. Never fails: unknown tags are skipped, bad
// attribute values are ignored, unknown pictures take no room.
RowLayout layoutMarkup(std::string_view markup, const LayoutStyle& style,
                       const PictureCatalog& pictures, const TextMetrics& metrics);

// Cuts every line wider than `width` at a character boundary (as
// TextMetrics::graphemeEnds gives them) and ends it with "..." (in the font
// of the text that is cut); pictures past the cut go. The cut is found by a
// binary search, so a long text costs a few measurements, not one per
// character.
void elideRow(RowLayout& row, int width, const TextMetrics& metrics);

// Metrics for tests and benchmarks: every character (code point) is
// `charWidth` * points / 9 pixels wide (bold adds one pixel per character),
// and a line is points * 5 / 3 pixels tall, rounded.
class FixedMetrics : public TextMetrics {
 public:
  explicit FixedMetrics(int charWidth = 6) : charWidth_(charWidth) {}
  int width(std::string_view utf8, const FontSpec& font) const override;
  int lineHeight(const FontSpec& font) const override;

 private:
  int charWidth_;
};

// Parses and lays out arbitrary bytes with fixed metrics; for fuzzers and
// robustness tests. Returns the row height so the work is not optimised away.
int fuzzMarkupOnce(const unsigned char* data, size_t size);

}  // namespace brivane
