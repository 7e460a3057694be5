#pragma once
#include <array>
#include <cstdint>
#include <string_view>

// The named colours, one table for every party that reads a colour name: the
// store's colour values ("clRed", "clBtnFace") and the list mark-up's FONT
// colours. Names are compared without regard to case by their readers.
namespace brivane {

struct PaletteColor {
  std::string_view name;
  uint32_t rgb;  // 0xRRGGBB
};

// The 16 basic colours: the ones the mark-up names too.
inline constexpr std::array<PaletteColor, 16> kBasicColors{{
    {"clBlack", 0x000000},  {"clMaroon", 0x800000}, {"clGreen", 0x008000},   {"clOlive", 0x808000},
    {"clNavy", 0x000080},   {"clPurple", 0x800080}, {"clTeal", 0x008080},    {"clGray", 0x808080},
    {"clSilver", 0xC0C0C0}, {"clRed", 0xFF0000},    {"clLime", 0x00FF00},    {"clYellow", 0xFFFF00},
    {"clBlue", 0x0000FF},   {"clFuchsia", 0xFF00FF}, {"clAqua", 0x00FFFF},   {"clWhite", 0xFFFFFF},
}};

// Four further colours only the store knows.
inline constexpr std::array<PaletteColor, 4> kExtraColors{{
    {"clMoneyGreen", 0xC0DCC0}, {"clSkyBlue", 0xA6CAF0}, {"clCream", 0xFFFBF0}, {"clMedGray", 0xA0A0A4},
}};

// The system colour names with their index (see systemColorRgb).
struct SystemColorName {
  std::string_view name;
  uint32_t index;
};

// Every system colour name the store knows; the mark-up knows those of
// indices kFirstMarkupSystemColor to kLastMarkupSystemColor.
inline constexpr std::array<SystemColorName, 30> kSystemColorNames{{
    {"clScrollBar", 0},          {"clBackground", 1},       {"clActiveCaption", 2},
    {"clInactiveCaption", 3},    {"clMenu", 4},             {"clWindow", 5},
    {"clWindowFrame", 6},        {"clMenuText", 7},         {"clWindowText", 8},
    {"clCaptionText", 9},        {"clActiveBorder", 10},    {"clInactiveBorder", 11},
    {"clAppWorkSpace", 12},      {"clHighlight", 13},       {"clHighlightText", 14},
    {"clBtnFace", 15},           {"clBtnShadow", 16},       {"clGrayText", 17},
    {"clBtnText", 18},           {"clInactiveCaptionText", 19}, {"clBtnHighlight", 20},
    {"cl3DDkShadow", 21},        {"cl3DLight", 22},         {"clInfoText", 23},
    {"clInfoBk", 24},            {"clHotLight", 26},        {"clGradientActiveCaption", 27},
    {"clGradientInactiveCaption", 28}, {"clMenuHighlight", 29}, {"clMenuBar", 30},
}};
inline constexpr uint32_t kFirstMarkupSystemColor = 1;
inline constexpr uint32_t kLastMarkupSystemColor = 24;

}  // namespace brivane
