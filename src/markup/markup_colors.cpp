#include "markup/markup_colors.h"

#include <array>

#include "common/system_colors.h"
#include "common/text.h"

namespace brivane {
namespace {

struct NamedColor {
  std::string_view name;
  Rgb rgb;
};

constexpr std::array<NamedColor, 16> kColors{{
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
}};

// The 24 system colour names, in the order of their system colour indices 1 to 24.
constexpr std::array<std::string_view, 24> kSystemColors{{
    "clbackground", "clactivecaption", "clinactivecaption", "clmenu", "clwindow", "clwindowframe",
    "clmenutext", "clwindowtext", "clcaptiontext", "clactiveborder", "clinactiveborder", "clappworkspace",
    "clhighlight", "clhighlighttext", "clbtnface", "clbtnshadow", "clgraytext", "clbtntext",
    "clinactivecaptiontext", "clbtnhighlight", "cl3ddkshadow", "cl3dlight", "clinfotext", "clinfobk",
}};

}  // namespace

Rgb markupColor(std::string_view value) {
  if (value.size() == 7 && value[0] == '#') {
    int d[6];
    bool ok = true;
    for (int i = 0; i < 6; ++i) {
      d[i] = hexDigitValue(value[1 + i]);
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
  for (size_t i = 0; i < kSystemColors.size(); ++i) {
    if (equalsIgnoreCase(value, kSystemColors[i])) {
      const uint32_t rgb = systemColorRgb(static_cast<uint32_t>(i + 1));
      return {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8), static_cast<uint8_t>(rgb)};
    }
  }
  return {};
}

}  // namespace brivane
