#pragma once
#include <cstdint>

namespace brivane {

// The desktop's system colours by index (0 scroll bar, 1 desktop, 2 active
// caption, ... 24 tooltip background, ... 30 menu bar), as 0xRRGGBB in the
// usual light scheme, the same on every machine. Both the stored colour
// values and the list mark-up's colour names take them from here. Black for
// an index out of range.
uint32_t systemColorRgb(uint32_t index);

}  // namespace brivane
