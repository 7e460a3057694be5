#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "saver/panel_place.h"

namespace brivane {
namespace {

using Ranges = std::vector<std::pair<int, int>>;

// Each row: the input, which end of every range the random source answers,
// the ranges asked for in order, and the place chosen.
TEST(PanelPlace, RangesAndDateTimeRule) {
  struct Case {
    const char* name;
    PanelPlaceInput in;
    bool high;
    Ranges ranges;
    PanelPlace place;
  } cases[] = {
      {"1024x768 with 350x400", {1024, 768, 350, 400, {}, {}}, true, {{10, 664}, {10, 358}}, {664, 358}},
      {"panel taller than the screen", {1024, 768, 350, 760, {}, {}}, true, {{10, 664}, {0, 1}}, {664, 1}},
      {"panel wider than the screen", {300, 768, 350, 400, {}, {}}, false, {{0, 1}, {10, 358}}, {0, 10}},
      {"overlapping the date/time panel at 850", {1024, 768, 350, 400, 850, 600}, true,
       {{10, 664}, {10, 358}, {10, 500}}, {500, 358}},
      {"date/time panel left of panel width + 10 keeps the first x", {1024, 768, 350, 400, 359, 600}, true,
       {{10, 664}, {10, 358}}, {664, 358}},
      {"above the date/time panel: no second draw", {1024, 768, 350, 400, 850, 600}, false,
       {{10, 664}, {10, 358}}, {10, 10}},
  };
  for (const Case& c : cases) {
    Ranges asked;
    const PanelPlace place = ChoosePanelPlace(c.in, [&](int lo, int hi) {
      asked.emplace_back(lo, hi);
      return c.high ? hi : lo;
    });
    EXPECT_EQ(std::pair(asked, place), std::pair(c.ranges, c.place)) << c.name;
  }
}

TEST(PanelPlace, ClockSeededRandomCoversBothEnds) {
  const RandomInRange random = ClockSeededRandom();  // one engine: both ends from one seed
  std::set<int> seen;
  for (int i = 0; i < 200; ++i) seen.insert(random(0, 1));
  EXPECT_EQ(seen, (std::set<int>{0, 1}));
}

}  // namespace
}  // namespace brivane
