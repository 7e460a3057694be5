#pragma once
#include <functional>
#include <optional>

namespace brivane {

// Where `MovePanel` puts the message panel: a random place at least 10
// pixels from every edge of the saver's client area (or at 0 or 1 on an axis
// where the panel does not fit with those margins), and left of the
// date/time panel when it would reach into that panel's area at the
// bottom-right corner. Coordinates are relative to the client area.

// A random integer in [lo, hi], both included (callers ensure lo <= hi).
using RandomInRange = std::function<int(int lo, int hi)>;

// A uniform source seeded once from the clock.
RandomInRange ClockSeededRandom();

struct PanelPlace {
  int x = 0;
  int y = 0;
  bool operator==(const PanelPlace&) const = default;
};

struct PanelPlaceInput {
  int clientWidth = 0, clientHeight = 0;  // the saver window's client area
  int panelWidth = 0, panelHeight = 0;    // the message panel
  // The date/time panel's left and top edge, when it exists.
  std::optional<int> dateTimeLeft, dateTimeTop;
};

// The x range [xMin, xMax] is drawn first, then y. When the panel at x, y
// would overlap the date/time panel (its left < x + panel width and its top
// < y + panel height), x is drawn again from [xMin, date/time left - panel
// width]; when that range is empty (the date/time panel starts left of the
// panel width plus the margin) the first x is kept.
PanelPlace ChoosePanelPlace(const PanelPlaceInput& in, const RandomInRange& random);

}  // namespace brivane
