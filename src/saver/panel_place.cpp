#include "saver/panel_place.h"

#include <chrono>
#include <memory>
#include <random>

namespace brivane {
namespace {

constexpr int kMargin = 10;

// [kMargin, client - panel - kMargin], or [0, 1] when that is shorter than the margin allows.
std::pair<int, int> AxisRange(int client, int panel) {
  const long long max = static_cast<long long>(client) - panel - kMargin;
  if (max < kMargin) return {0, 1};
  return {kMargin, static_cast<int>(max)};
}

}  // namespace

RandomInRange ClockSeededRandom() {
  auto engine = std::make_shared<std::mt19937>(
      static_cast<std::mt19937::result_type>(std::chrono::steady_clock::now().time_since_epoch().count()));
  return [engine](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(*engine); };
}

PanelPlace ChoosePanelPlace(const PanelPlaceInput& in, const RandomInRange& random) {
  const auto [xMin, xMax] = AxisRange(in.clientWidth, in.panelWidth);
  const auto [yMin, yMax] = AxisRange(in.clientHeight, in.panelHeight);
  PanelPlace place{random(xMin, xMax), random(yMin, yMax)};
  if (in.dateTimeLeft && in.dateTimeTop &&
      *in.dateTimeLeft < static_cast<long long>(place.x) + in.panelWidth &&
      *in.dateTimeTop < static_cast<long long>(place.y) + in.panelHeight) {
    const long long xLimit = static_cast<long long>(*in.dateTimeLeft) - in.panelWidth;
    if (xLimit >= xMin) place.x = random(xMin, static_cast<int>(xLimit));
  }
  return place;
}

}  // namespace brivane
