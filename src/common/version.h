#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brivane {

// A program version: four 16-bit numbers.
struct ProgramVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t release = 0;
  uint16_t build = 0;

  friend auto operator<=>(const ProgramVersion&, const ProgramVersion&) = default;
};

// The version this program was built as (the four numbers of the project version).
ProgramVersion programVersion();

// Parses "a.b.c.d": exactly four whole numbers of 0..65535 separated by points,
// nothing else. Returns nothing for any other text.
std::optional<ProgramVersion> parseVersion(std::string_view text);

// The display form: the four numbers joined by points, e.g. "1.0.0.0".
std::string versionText(const ProgramVersion& v);

}  // namespace brivane
