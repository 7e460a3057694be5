#include "common/version.h"

#include <charconv>

namespace brivane {

ProgramVersion programVersion() {
  return ProgramVersion{BRIVANE_VERSION_MAJOR, BRIVANE_VERSION_MINOR, BRIVANE_VERSION_RELEASE,
                        BRIVANE_VERSION_BUILD};
}

std::optional<ProgramVersion> parseVersion(std::string_view text) {
  uint16_t parts[4];
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p == end || *p != '.') return std::nullopt;
      ++p;
    }
    if (p == end || *p < '0' || *p > '9') return std::nullopt;
    auto [next, ec] = std::from_chars(p, end, parts[i]);
    if (ec != std::errc()) return std::nullopt;
    p = next;
  }
  if (p != end) return std::nullopt;
  return ProgramVersion{parts[0], parts[1], parts[2], parts[3]};
}

std::string versionText(const ProgramVersion& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.release) +
         "." + std::to_string(v.build);
}

}  // namespace brivane
