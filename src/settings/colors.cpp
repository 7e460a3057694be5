#include "settings/colors.h"

#include <array>
#include <cstdio>

#include "common/text.h"

namespace brivane {

namespace {

struct NamedColor {
  const char* name;
  TColor value;
};

constexpr TColor sys(uint32_t index) { return kSystemColorBase + index; }

constexpr std::array<NamedColor, 52> kColors{{
    {"clBlack", 0x000000},      {"clMaroon", 0x000080},   {"clGreen", 0x008000},
    {"clOlive", 0x008080},      {"clNavy", 0x800000},     {"clPurple", 0x800080},
    {"clTeal", 0x808000},       {"clGray", 0x808080},     {"clSilver", 0xC0C0C0},
    {"clRed", 0x0000FF},        {"clLime", 0x00FF00},     {"clYellow", 0x00FFFF},
    {"clBlue", 0xFF0000},       {"clFuchsia", 0xFF00FF},  {"clAqua", 0xFFFF00},
    {"clWhite", 0xFFFFFF},      {"clMoneyGreen", 0xC0DCC0}, {"clSkyBlue", 0xF0CAA6},
    {"clCream", 0xF0FBFF},      {"clMedGray", 0xA4A0A0},  {"clActiveBorder", sys(10)},
    {"clActiveCaption", sys(2)}, {"clAppWorkSpace", sys(12)}, {"clBackground", sys(1)},
    {"clBtnFace", sys(15)},     {"clBtnHighlight", sys(20)}, {"clBtnShadow", sys(16)},
    {"clBtnText", sys(18)},     {"clCaptionText", sys(9)}, {"clDefault", clDefault},
    {"clGradientActiveCaption", sys(27)}, {"clGradientInactiveCaption", sys(28)},
    {"clGrayText", sys(17)},    {"clHighlight", sys(13)}, {"clHighlightText", sys(14)},
    {"clHotLight", sys(26)},    {"clInactiveBorder", sys(11)}, {"clInactiveCaption", sys(3)},
    {"clInactiveCaptionText", sys(19)}, {"clInfoBk", sys(24)}, {"clInfoText", sys(23)},
    {"clMenu", sys(4)},         {"clMenuBar", sys(30)},   {"clMenuHighlight", sys(29)},
    {"clMenuText", sys(7)},     {"clNone", clNone},       {"clScrollBar", sys(0)},
    {"cl3DDkShadow", sys(21)},  {"cl3DLight", sys(22)},   {"clWindow", sys(5)},
    {"clWindowFrame", sys(6)},  {"clWindowText", sys(8)},
}};

// The light desktop scheme, as 0xRRGGBB, by system colour index.
constexpr std::array<uint32_t, 31> kLightScheme{{
    0xC8C8C8,  // 0 scroll bar
    0x000000,  // 1 desktop background
    0x99B4D1,  // 2 active caption
    0xBFCDDB,  // 3 inactive caption
    0xF0F0F0,  // 4 menu
    0xFFFFFF,  // 5 window
    0x646464,  // 6 window frame
    0x000000,  // 7 menu text
    0x000000,  // 8 window text
    0x000000,  // 9 caption text
    0xB4B4B4,  // 10 active border
    0xF4F7FC,  // 11 inactive border
    0xABABAB,  // 12 application work space
    0x3399FF,  // 13 highlight
    0xFFFFFF,  // 14 highlight text
    0xF0F0F0,  // 15 button face
    0xA0A0A0,  // 16 button shadow
    0x6D6D6D,  // 17 grey text
    0x000000,  // 18 button text
    0x000000,  // 19 inactive caption text
    0xFFFFFF,  // 20 button highlight
    0x696969,  // 21 3D dark shadow
    0xE3E3E3,  // 22 3D light
    0x000000,  // 23 tooltip text
    0xFFFFE1,  // 24 tooltip background
    0xB5B5B5,  // 25 (unused)
    0x0066CC,  // 26 hot-tracked item
    0xB9D1EA,  // 27 active caption gradient
    0xD7E4F2,  // 28 inactive caption gradient
    0x3399FF,  // 29 menu highlight
    0xF0F0F0,  // 30 menu bar
}};

}  // namespace

std::optional<TColor> StringToColor(std::string_view text) {
  for (const auto& c : kColors)
    if (equalsIgnoreCase(text, c.name)) return c.value;
  if (text.size() < 2 || text.size() > 9 || text[0] != '$') return std::nullopt;
  TColor v = 0;
  for (char ch : text.substr(1)) {
    int d;
    if (ch >= '0' && ch <= '9') d = ch - '0';
    else if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
    else return std::nullopt;
    v = (v << 4) | static_cast<TColor>(d);
  }
  return v;
}

std::string ColorToString(TColor color) {
  for (const auto& c : kColors)
    if (c.value == color) return c.name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "$%08X", color);
  return buf;
}

uint32_t ColorToRgb(TColor color) {
  if ((color & 0xFF000000) == kSystemColorBase) {
    const uint32_t index = color & 0x00FFFFFF;
    return index < kLightScheme.size() ? kLightScheme[index] : 0x000000;
  }
  return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
}

}  // namespace brivane
