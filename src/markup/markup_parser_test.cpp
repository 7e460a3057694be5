#include "markup/markup_parser.h"

#include <gtest/gtest.h>

#include "markup/markup_colors.h"

namespace brivane {
namespace {

std::string textOf(std::string_view markup) {
  std::string out;
  for (const MarkupToken& t : parseMarkup(markup))
    if (t.kind == MarkupToken::Kind::Text) out += t.text;
  return out;
}

// The text a piece of mark-up shows: every entity, unknown or unterminated
// entities as written, malformed tags as text, tag-like text inside quotes;
// only the first 64 KiB are read, never cut inside a sequence.
TEST(MarkupParser, TextOfEntitiesMalformedTagsAndTheCap) {
  const std::pair<const char*, const char*> cases[] = {
      {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", "\xC2\xA0"},
      {"&copy;", "\xC2\xA9"}, {"&reg;", "\xC2\xAE"}, {"&trade;", "\xE2\x84\xA2"}, {"&euro;", "\xE2\x82\xAC"},
      {"&sect;", "\xC2\xA7"}, {"&para;", "\xC2\xB6"}, {"&permil;", "\xE2\x80\xB0"},
      {"&bogus; & &amp", "&bogus; & &amp"}, {"a&amp;amp;b", "a&amp;b"},
      {"a < b", "a < b"}, {"1<2 and 3>2", "1<2 and 3>2"}, {"<b", "<b"}, {"<<b>x", "<x"}, {"<>", "<>"},
      {"<font color=\"a>b\">z", "z"}, {"<img src='a>b'>z", "z"}, {"<b>it's</b>", "it's"},
      {"<b x\"y>z", "z"}, {"tab\there\r\nnext", "tab here  next"},
  };
  for (auto [in, out] : cases) EXPECT_EQ(textOf(in), out) << in;
  EXPECT_EQ(textOf(std::string(kMaxMarkupBytes + 5, 'a')).size(), kMaxMarkupBytes);
  EXPECT_EQ(textOf(std::string(kMaxMarkupBytes - 1, 'a') + "\xC3\xA9").size(), kMaxMarkupBytes - 1);
}

TEST(MarkupParser, TagsAndAttributesIgnoreCase) {
  auto toks = parseMarkup("<IMG SRC=\"idx:3\" Align=\"middle\">x</FoNt>");
  ASSERT_EQ(toks.size(), 3u);
  ASSERT_NE(toks[0].attribute("src"), nullptr);
  EXPECT_EQ(std::tuple(toks[0].text, *toks[0].attribute("src"), *toks[0].attribute("align")),
            std::tuple("img", "idx:3", "middle"));
  EXPECT_EQ(std::pair(toks[2].text, toks[2].closing), std::pair(std::string("font"), true));
}

// Escaping "&" first ("<" must not come back as "&amp;lt;"); text units keep
// entities and UTF-8 sequences whole.
TEST(MarkupText, EscapeRoundTripsAndUnitsNeverSplitSequences) {
  EXPECT_EQ(EscapeMarkup("a < b & \"c\" > d"), "a &lt; b &amp; &quot;c&quot; &gt; d");
  for (const char* s : {"<b>bold</b>", "&amp;", "AT&T", "<font size=90>", "plain", "<RTAB>"})
    EXPECT_EQ(textOf(EscapeMarkup(s)), s);
  EXPECT_EQ(markupTextUnits("a&amp;\xC3\xA9\xE2\x82\xAC&x\xFF"),
            (std::vector<std::string_view>{"a", "&amp;", "\xC3\xA9", "\xE2\x82\xAC", "&", "x", "\xFF"}));
}

TEST(MarkupColor, NamesIgnoreCaseHexAndUnknownIsBlack) {
  const std::pair<const char*, Rgb> cases[] = {
      {"CLGRAY", {128, 128, 128}}, {"clgray", {128, 128, 128}}, {"clFuchsia", {255, 0, 255}},
      {"clInfoBk", {255, 255, 225}}, {"#1A2B3C", {0x1A, 0x2B, 0x3C}}, {"#12345", {0, 0, 0}}, {"#GG0000", {0, 0, 0}}};
  for (const auto& [name, rgb] : cases) EXPECT_EQ(markupColor(name), rgb) << name;
}

}  // namespace
}  // namespace brivane
