#include "settings/colors.h"

#include <array>
#include <cstdio>

#include "common/system_colors.h"
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

}  // namespace

std::optional<TColor> StringToColor(std::string_view text) {
  for (const auto& c : kColors)
    if (equalsIgnoreCase(text, c.name)) return c.value;
  if (text.size() < 2 || text.size() > 9 || text[0] != '$') return std::nullopt;
  TColor v = 0;
  for (char ch : text.substr(1)) {
    const int d = hexDigitValue(ch);
    if (d < 0) return std::nullopt;
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
  if ((color & 0xFF000000) == kSystemColorBase) return systemColorRgb(color & 0x00FFFFFF);
  return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
}

}  // namespace brivane
