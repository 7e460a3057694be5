#include "settings/colors.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(Colors, TextFormBothWaysAndDrawingColours) {
  const std::pair<const char*, TColor> named[] = {
      {"clBlack", 0x000000},      {"clNavy", 0x800000},       {"clRed", 0x0000FF},         {"clSkyBlue", 0xF0CAA6},
      {"clMedGray", 0xA4A0A0},    {"clNone", 0x1FFFFFFF},     {"clDefault", 0x20000000},   {"clScrollBar", 0xFF000000},
      {"clBtnFace", 0xFF00000F},  {"clHotLight", 0xFF00001A}, {"clMenuBar", 0xFF00001E},   {"cl3DDkShadow", 0xFF000015},
      {"$00123456", 0x123456},    {"$FF000019", 0xFF000019}};  // index 25 has no identifier
  for (auto [text, value] : named) {
    EXPECT_EQ(StringToColor(text), value) << text;
    EXPECT_EQ(ColorToString(value), text);
  }
  EXPECT_EQ(StringToColor("CLNAVY"), 0x800000u);
  EXPECT_EQ(StringToColor("$abc"), 0xABCu);
  for (const char* bad : {"", "$", "$123456789", "navy", "255", "$12G4", " clNavy", "#FF0000"})
    EXPECT_EQ(StringToColor(bad), std::nullopt) << bad;
  // Red is the lowest byte; system colours by index in the light scheme; black for no such index.
  const std::pair<TColor, uint32_t> rgb[] = {{0x0000FF, 0xFF0000}, {0xF0CAA6, 0xA6CAF0}, {0xFF000005, 0xFFFFFF},
                                             {0xFF00000F, 0xF0F0F0}, {0xFF000008, 0}, {0xFF0000FF, 0}, {clDefault, 0}};
  for (auto [color, expected] : rgb) EXPECT_EQ(ColorToRgb(color), expected) << std::hex << color;
}

}  // namespace
}  // namespace brivane
