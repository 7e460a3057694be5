#include "common/time.h"

namespace brivane {

int64_t nowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

bool localTimeFields(int64_t when, std::tm& fields) {
  const std::time_t t = static_cast<std::time_t>(when);
  fields = std::tm{};
  return localtime_r(&t, &fields) != nullptr;
}

std::tm localTimeFields(int64_t when) {
  std::tm fields{};
  localTimeFields(when, fields);
  return fields;
}

std::string formatTime(const std::tm& fields, const char* format) {
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, format, &fields);
  return std::string(buf, n);
}

std::string formatLocalTime(int64_t when, const char* format) {
  return formatTime(localTimeFields(when), format);
}

}  // namespace brivane
