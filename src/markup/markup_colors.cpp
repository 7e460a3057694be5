#include "markup/markup_colors.h"

#include <array>

#include "common/text.h"

namespace brivane {
namespace {

struct NamedColor {
  std::string_view name;
  Rgb rgb;
};

constexpr std::array<NamedColor, 40> kColors{{
    // The 16 palette colours.
    {"clred", {255, 0, 0}},
    {"clblack", {0, 0, 0}},
    {"clblue", {0, 0, 255}},
    {"clgreen", {0, 128, 0}},
    {"claqua", {0, 255, 255}},
    {"clyellow", {255, 255, 0}},
    {"clfuchsia", {255, 0, 255}},
    {"clwhite", {255, 255, 255}},
    {"cllime", {0, 255, 0}},
    {"clsilver", {192, 192, 192}},
    {"clgray", {128, 128, 128}},
    {"clolive", {128, 128, 0}},
    {"clnavy", {0, 0, 128}},
    {"clpurple", {128, 0, 128}},
    {"clteal", {0, 128, 128}},
    {"clmaroon", {128, 0, 0}},
    // The 24 system colours, at their classic defaults.
    {"clbackground", {0, 0, 0}},
    {"clactivecaption", {153, 180, 209}},
    {"clinactivecaption", {191, 205, 219}},
    {"clmenu", {240, 240, 240}},
    {"clwindow", {255, 255, 255}},
    {"clwindowframe", {100, 100, 100}},
    {"clmenutext", {0, 0, 0}},
    {"clwindowtext", {0, 0, 0}},
    {"clcaptiontext", {0, 0, 0}},
    {"clactiveborder", {180, 180, 180}},
    {"clinactiveborder", {244, 247, 252}},
    {"clappworkspace", {171, 171, 171}},
    {"clhighlight", {51, 153, 255}},
    {"clhighlighttext", {255, 255, 255}},
    {"clbtnface", {240, 240, 240}},
    {"clbtnshadow", {160, 160, 160}},
    {"clgraytext", {109, 109, 109}},
    {"clbtntext", {0, 0, 0}},
    {"clinactivecaptiontext", {0, 0, 0}},
    {"clbtnhighlight", {255, 255, 255}},
    {"cl3ddkshadow", {105, 105, 105}},
    {"cl3dlight", {227, 227, 227}},
    {"clinfotext", {0, 0, 0}},
    {"clinfobk", {255, 255, 225}},
}};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

Rgb markupColor(std::string_view value) {
  if (value.size() == 7 && value[0] == '#') {
    int d[6];
    bool ok = true;
    for (int i = 0; i < 6; ++i) {
      d[i] = hexDigit(value[1 + i]);
      ok = ok && d[i] >= 0;
    }
    if (ok) {
      return {static_cast<uint8_t>(d[0] * 16 + d[1]), static_cast<uint8_t>(d[2] * 16 + d[3]),
              static_cast<uint8_t>(d[4] * 16 + d[5])};
    }
    return {};
  }
  for (const NamedColor& c : kColors) {
    if (equalsIgnoreCase(value, c.name)) return c.rgb;
  }
  return {};
}

}  // namespace brivane
