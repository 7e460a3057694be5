#pragma once
#include <cstdint>
#include <string_view>

namespace brivane {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The colour of a FONT `color` value: one of the 16 fixed or 24 system colour
// names (without regard to case) or "#RRGGBB". Anything else is black.
// System colours take the classic desktop defaults, the same on every machine.
Rgb markupColor(std::string_view value);

}  // namespace brivane
