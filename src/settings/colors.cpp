#include "settings/colors.h"

#include <array>
#include <cstdio>
#include <vector>

#include "common/palette.h"
#include "common/system_colors.h"
#include "common/text.h"

namespace brivane {

namespace {

// 0xRRGGBB and the stored 0x00BBGGRR are each other's byte swap.
constexpr TColor swapRedBlue(uint32_t c) { return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF); }

struct NamedValue {
  std::string_view name;
  TColor value;
};

// Every colour identifier with its stored value: the palette's colours and
// system colours, and the two special values.
const std::vector<NamedValue>& namedValues() {
  static const std::vector<NamedValue> table = [] {
    std::vector<NamedValue> t;
    for (const auto& c : kBasicColors) t.push_back({c.name, swapRedBlue(c.rgb)});
    for (const auto& c : kExtraColors) t.push_back({c.name, swapRedBlue(c.rgb)});
    for (const auto& c : kSystemColorNames) t.push_back({c.name, kSystemColorBase + c.index});
    t.push_back({"clDefault", clDefault});
    t.push_back({"clNone", clNone});
    return t;
  }();
  return table;
}

}  // namespace

std::optional<TColor> StringToColor(std::string_view text) {
  for (const auto& c : namedValues())
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
  for (const auto& c : namedValues())
    if (c.value == color) return std::string(c.name);
  char buf[16];
  std::snprintf(buf, sizeof buf, "$%08X", color);
  return buf;
}

uint32_t ColorToRgb(TColor color) {
  if ((color & 0xFF000000) == kSystemColorBase) return systemColorRgb(color & 0x00FFFFFF);
  return swapRedBlue(color);
}

}  // namespace brivane
