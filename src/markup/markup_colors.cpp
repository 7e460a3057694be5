#include "markup/markup_colors.h"

#include "common/palette.h"
#include "common/system_colors.h"
#include "common/text.h"

namespace brivane {

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
  const auto fromRgb = [](uint32_t rgb) {
    return Rgb{static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8), static_cast<uint8_t>(rgb)};
  };
  for (const PaletteColor& c : kBasicColors) {
    if (equalsIgnoreCase(value, c.name)) return fromRgb(c.rgb);
  }
  for (const SystemColorName& c : kSystemColorNames) {
    if (c.index >= kFirstMarkupSystemColor && c.index <= kLastMarkupSystemColor && equalsIgnoreCase(value, c.name))
      return fromRgb(systemColorRgb(c.index));
  }
  return {};
}

}  // namespace brivane
