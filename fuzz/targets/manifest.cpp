// The update manifest: the version found is empty or four numbers 0..65535
// joined by dots, and whatever is found compares as a version.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/update_check.h"

using namespace brivane;

namespace {

// Four numbers joined by dots: digits and exactly three dots, nothing else
// (no blank, sign or other text the number reading might skip).
bool isFourNumbers(std::string_view v) {
  size_t dots = 0;
  for (char c : v) {
    if (c == '.') ++dots;
    else if (c < '0' || c > '9') return false;
  }
  return dots == 3 && parseVersion(v).has_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string version = latestVersionIn(bytes);
  if (!version.empty() && !isFourNumbers(version)) std::abort();
  if (version.empty() && isNewerVersion(version)) std::abort();
  isNewerVersion(bytes);
  return 0;
}
