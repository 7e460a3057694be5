#include "markup/markup_layout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "markup/markup_parser.h"

namespace brivane {
namespace {

// FixedMetrics(6): 9 pt text is 6 px a character and 15 px tall; 8 pt is
// 5 px and 13 px; 11 pt is 7 px and 18 px; bold adds 1 px a character.
class Layout : public ::testing::Test {
 protected:
  Layout() {
    style.font = {"Sans", 9, false, false};
    style.color = {255, 255, 255};
    pictures.imageCount = 6;
    pictures.addPicture("throbbersml", {16, 16});
    pictures.addPicture("hrfullwide", {300, 6});
    pictures.addPicture("largethrobber", {32, 32});
  }
  RowLayout lay(std::string_view markup) { return layoutMarkup(markup, style, pictures, metrics); }

  FixedMetrics metrics;
  LayoutStyle style;
  PictureCatalog pictures;
};

// "middle" centres the text against the tallest picture; without it the text
// keeps the top of the line.
TEST_F(Layout, MiddleAlignCentresTextAgainstTallestPicture) {
  RowLayout r = lay("<IMG src=\"largethrobber\" align=\"middle\">abc");
  ASSERT_EQ(r.texts.size(), 1u);
  EXPECT_EQ(std::tuple(r.lines.size(), r.lines[0].height, r.pictures[0].y, r.texts[0].x, r.texts[0].y),
            std::tuple(1u, 32, 0, 32, (32 - 15) / 2));
  r = lay("<IMG src=\"largethrobber\">abc");
  EXPECT_EQ(std::pair(r.texts[0].y, r.lines[0].height), std::pair(0, 32));
}

TEST_F(Layout, PicturesScaleWithDpiAndUnknownOnesTakeNoRoom) {
  for (double scale : {1.0, 2.0}) {
    style.pictureScale = scale;
    RowLayout r = lay("<IMG src=\"idx:3\" align=\"middle\">x<IMG src=\"throbbersml\">");
    ASSERT_EQ(r.pictures.size(), 2u);
    const int side = static_cast<int>(16 * scale);
    EXPECT_EQ(std::pair(r.pictures[0].width, r.pictures[0].height), std::pair(side, side));
    EXPECT_EQ(std::pair(r.texts[0].x, r.pictures[1].x), std::pair(side, side + 6));
    EXPECT_EQ(r.lines[0].height, std::max(15, side));
  }
  style.pictureScale = 1.0;
  for (const char* src : {"idx:6", "idx:99", "idx:x", "idx:", "idx:-1", "nosuch", "file:x.png"}) {
    RowLayout r = lay(std::string("<I></I><B></B><IMG src=\"") + src + "\" align=\"middle\">  Queued");
    EXPECT_TRUE(r.pictures.empty()) << src;
    ASSERT_EQ(r.texts.size(), 1u) << src;
    EXPECT_EQ(std::tuple(r.texts[0].x, r.texts[0].y, r.height), std::tuple(0, 0, 15)) << src;
  }
  const RowLayout r = lay("<IMG src=\"idx:5\">x");  // the last index in range
  EXPECT_TRUE(r.pictures.size() == 1 && r.pictures[0].index == 5);
}

TEST_F(Layout, FontSizesColoursAndStyles) {
  const std::pair<const char*, double> sizes[] = {
      {"1", 8}, {"2", 10}, {"3", 12}, {"4", 14}, {"5", 16}, {"8", 8}, {"11", 11}, {"24", 24}, {"72", 72},
      {"0", 9}, {"73", 9}, {"90", 9}, {"-3", 9}, {"abc", 9}, {"", 9}, {"99999999", 9}};
  for (auto [size, points] : sizes) {
    RowLayout r = lay(std::string("<FONT size=\"") + size + "\">x</FONT>y");
    ASSERT_EQ(r.texts.size(), 2u) << size;
    EXPECT_EQ(std::pair(r.texts[0].font.points, r.texts[1].font.points), std::pair(points, 9.0)) << size;
  }
  RowLayout r = lay("<B>b<FONT color=\"clGray\">g</FONT>w</B><I>i</I><font color=\"grey\">k</font>");
  ASSERT_EQ(r.texts.size(), 5u);
  EXPECT_TRUE(r.texts[0].font.bold && r.texts[1].font.bold && r.texts[3].font.italic && !r.texts[3].font.bold);
  EXPECT_EQ(std::tuple(r.texts[1].color, r.texts[2].color, r.texts[4].color),
            std::tuple(Rgb{128, 128, 128}, Rgb{255, 255, 255}, Rgb{0, 0, 0}));
}

// An indent never moves left (30 px of text already there) and holds for one
// line; BR returns to the left edge; each line is as tall as its tallest
// picture; a row is its lines less 2 px, at most the cap.
TEST_F(Layout, IndentLinesRowHeightAndCap) {
  RowLayout r = lay("abcde<IND x=\"12\">f<BR>g<IND x=\"12\">h<BR>i");
  std::vector<int> xs;
  for (const auto& t : r.texts) xs.push_back(t.x);
  EXPECT_EQ(xs, (std::vector<int>{0, 30, 0, 12, 0}));
  r = lay("<IND x=\"24\"><IMG src=\"idx:3\">s");
  EXPECT_EQ(std::pair(r.pictures[0].x, r.texts[0].x), std::pair(24, 40));
  r = lay("a<BR><IMG src=\"largethrobber\"><IMG src=\"idx:0\"><BR>c");
  std::vector<int> heights;
  for (const auto& line : r.lines) heights.push_back(line.height);
  EXPECT_EQ(heights, (std::vector<int>{15, 32, 15}));
  EXPECT_EQ(std::pair(r.lines[2].top, r.texts[1].y), std::pair(47, 47));
  EXPECT_EQ(std::pair(r.height, r.listRowHeight()), std::pair(62, 60));
  // The account header of the message panel: icon + 11 pt bold, rule, empty line.
  RowLayout header = lay(
      "<IMG src=\"idx:0\" align=\"middle\"><FONT size=\"11\"><B>  Home</B></FONT><BR>"
      "<IMG src=\"hrfullwide\" align=\"middle\"><BR>");
  ASSERT_EQ(header.lines.size(), 3u);
  EXPECT_EQ(std::pair(header.lines[0].height, header.lines[1].height), std::pair(18, 15));
  EXPECT_EQ(std::pair(header.pictures[0].y, header.pictures[1].y), std::pair(1, 18 + (15 - 6) / 2));
  EXPECT_EQ(header.listRowHeight(), 18 + 15 + 15 - 2);
  std::string tall;
  for (int i = 0; i < 40; ++i) tall += "line<BR>";
  EXPECT_EQ(std::pair(lay(tall).listRowHeight(), lay("").listRowHeight()), std::pair(kMaxRowHeight, 13));
}

TEST_F(Layout, ParagraphAlignment) {
  style.width = 200;
  RowLayout r = lay("<p align=\"right\"><font size=\"24\">12:00</font><br><font size=\"12\">Sunday</font></p>");
  ASSERT_EQ(r.texts.size(), 2u);
  // 24 pt: 16 px a character, 40 px tall; 12 pt: 8 px, 20 px.
  EXPECT_EQ(std::tuple(r.texts[0].x, r.texts[1].x, r.texts[1].y, r.height),
            std::tuple(200 - 5 * 16, 200 - 6 * 8, 40, 60));
  EXPECT_EQ(lay("<P ALIGN=\"center\">abcd</P>").texts[0].x, (200 - 24) / 2);
  EXPECT_EQ(lay("<p align=\"right\">" + std::string(50, 'w') + "</p>").texts[0].x, 0) << "too wide: left edge";
}

// Whatever comes before the tab, the part after it ends at the row's width
// (only a line's first tab counts); a line already too wide keeps its part
// where the pen is.
TEST_F(Layout, RightTabEndsEveryLineAtTheWidth) {
  style.width = 200;
  const std::tuple<std::string, int, std::string> rows[] = {
      {"<IND x=\"24\"><IMG src=\"idx:3\">Subject<RTAB>5 mins ago", 200, "Subject\t5 mins ago"},
      {"<RTAB><FONT color=\"clGray\">Yesterday</FONT>", 200, "\tYesterday"},
      {"a<RTAB><B>12</B><IMG src=\"idx:1\">", 200, "a\t12"},
      {"top<BR>x<RTAB>b<RTAB>c</RTAB>", 200, "top\nx\tbc"},
      {std::string(40, 'w') + "<RTAB>late", 44 * 6, std::string(40, 'w') + "\tlate"},
      {"<P align=\"right\">a<RTAB>b</P>", 200, "a\tb"}};
  for (const auto& [markup, end, plain] : rows) {
    const RowLayout r = lay(markup);
    const int last = static_cast<int>(r.lines.size()) - 1, text = r.texts.back().x + r.texts.back().width;
    const int picture = r.pictures.empty() || r.pictures.back().line != last ? 0 : r.pictures.back().x + 16;
    EXPECT_EQ(std::pair(std::max(text, picture), r.plainText()), std::pair(end, plain)) << markup;
  }
}

// The cut falls between characters, never inside what the reader sees as
// one (accents, flags, joined emoji), drops what follows and adds "...".
TEST_F(Layout, ElideCutsBetweenGraphemesAndAddsEllipsis) {
  const struct {
    std::string markup;
    int room;
    std::string kept;
    size_t pictures;
  } cases[] = {
      {"<IMG src=\"idx:0\"> caf\xC3\xA9 \xE2\x82\xAC&amp;<IMG src=\"idx:1\">tail", 16 + 7 * 6 + 18,
       " caf\xC3\xA9 \xE2\x82\xAC...", 1},
      {"short", 100, "short", 0},
      {"e\xCC\x81" "e\xCC\x81" "e\xCC\x81" "e\xCC\x81", 36, "e\xCC\x81...", 0},
      {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7xxxx", 36,
       "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA...", 0},
      {"a\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9" "bcd", 36, "a...", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.markup);
    RowLayout r = lay(c.markup);
    elideRow(r, c.room, metrics);
    ASSERT_EQ(r.texts.size(), 1u);
    EXPECT_EQ(std::pair(r.texts[0].text, r.pictures.size()), std::pair(c.kept, c.pictures));
    EXPECT_LE(r.texts[0].x + r.texts[0].width, c.room);
  }
}

// A long text costs a few measurements, not one (of a growing prefix) per
// character: 20,000 zero-width characters once froze the list.
TEST_F(Layout, ElideMeasuresLogarithmicallyOften) {
  struct Counting : FixedMetrics {
    mutable int calls = 0;
    int width(std::string_view utf8, const FontSpec&) const override {
      ++calls;  // 6 pixels an ASCII character, nothing for the rest
      return 6 * static_cast<int>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return c > 0; }));
    }
  } counting;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "\xE2\x80\x8B";  // zero width space
  RowLayout r = layoutMarkup(text + "WWWW", style, pictures, counting);
  counting.calls = 0;
  elideRow(r, 18, counting);
  EXPECT_LE(counting.calls, 40);
  EXPECT_TRUE(r.texts[0].text.ends_with("..."));
}

}  // namespace
}  // namespace brivane
