#include "settings/colors.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(Colors, TextFormBothWays) {
  const std::pair<const char*, TColor> named[] = {
      {"clBlack", 0x000000},     {"clNavy", 0x800000},        {"clRed", 0x0000FF},
      {"clSkyBlue", 0xF0CAA6},   {"clMedGray", 0xA4A0A0},     {"clNone", 0x1FFFFFFF},
      {"clDefault", 0x20000000}, {"clScrollBar", 0xFF000000}, {"clBtnFace", 0xFF00000F},
      {"clHotLight", 0xFF00001A}, {"clMenuBar", 0xFF00001E},  {"cl3DDkShadow", 0xFF000015}};
  for (auto [text, value] : named) {
    EXPECT_EQ(StringToColor(text), value) << text;
    EXPECT_EQ(ColorToString(value), text);
  }
  EXPECT_EQ(StringToColor("CLNAVY"), 0x800000u);
  EXPECT_EQ(StringToColor("$00123456"), 0x123456u);
  EXPECT_EQ(StringToColor("$abc"), 0xABCu);
  EXPECT_EQ(ColorToString(0x123456), "$00123456");
  EXPECT_EQ(ColorToString(0xFF000019), "$FF000019");  // index 25 has no identifier
  for (const char* bad : {"", "$", "$123456789", "navy", "255", "$12G4", " clNavy", "#FF0000"})
    EXPECT_EQ(StringToColor(bad), std::nullopt) << bad;
}

TEST(Colors, DrawingColours) {
  EXPECT_EQ(ColorToRgb(0x0000FF), 0xFF0000u);     // clRed: red is the lowest byte
  EXPECT_EQ(ColorToRgb(0xF0CAA6), 0xA6CAF0u);     // clSkyBlue
  EXPECT_EQ(ColorToRgb(0xFF000005), 0xFFFFFFu);   // clWindow in the light scheme
  EXPECT_EQ(ColorToRgb(0xFF00000F), 0xF0F0F0u);   // clBtnFace
  EXPECT_EQ(ColorToRgb(0xFF000008), 0x000000u);   // clWindowText
  EXPECT_EQ(ColorToRgb(0xFF0000FF), 0x000000u);   // no such index
  EXPECT_EQ(ColorToRgb(clDefault), 0x000000u);
}

}  // namespace
}  // namespace brivane
