#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// The wall clock and local calendar time. Times are seconds since
// 1970-01-01 UTC; local fields follow the zone rules in force at that time
// (the process's TZ, as localtime_r reads it).
namespace brivane {

// The wall clock now.
int64_t nowSeconds();

// The local calendar fields of `when` in `fields`; false when the time lies
// beyond what the calendar can hold.
bool localTimeFields(int64_t when, std::tm& fields);
// The same, for a caller that has no use for the failure.
std::tm localTimeFields(int64_t when);

// `fields` written with a strftime format; empty when the result does not
// fit in 63 bytes (or is empty).
std::string formatTime(const std::tm& fields, const char* format);
// The local time of `when` written with a strftime format.
std::string formatLocalTime(int64_t when, const char* format);

}  // namespace brivane
