#pragma once
#include <cstdint>
#include <string_view>

namespace brivane {

// An RFC 2822 date ("Tue, 3 Mar 2026 10:15:00 +0100", zone names included)
// as seconds since 1970-01-01 UTC; 0 for an empty or unreadable value.
int64_t parseMailDate(std::string_view value);

}  // namespace brivane
