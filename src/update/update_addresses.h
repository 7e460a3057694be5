#pragma once
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

// Where the update check looks and where U sends the user.
namespace brivane {

struct UpdateAddresses {
  std::string manifest;  // empty: no update check is ever made
  std::string download;  // opened only when it is an http or https address
};

// Reads an environment variable: its value, or nothing when it is not set.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// The build's addresses (cache options BRIVANE_UPDATE_URL and
// BRIVANE_DOWNLOAD_URL), each replaced by the environment variable of the
// same name when that is set (also when set to empty: that turns the check off).
UpdateAddresses updateAddresses(const EnvironmentLookup& lookup = [](const char* n) { return std::getenv(n); });

// True for "http://host..." and "https://host..." (scheme in any case)
// without blanks or control characters.
bool isWebAddress(std::string_view address);

}  // namespace brivane
