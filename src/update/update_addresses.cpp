#include "update/update_addresses.h"

#include <cstdlib>

#include "common/text.h"
#include "update/update_urls.h"

namespace brivane {

UpdateAddresses updateAddresses(const EnvironmentLookup& lookup) {
  UpdateAddresses a{built_in::kUpdateUrl, built_in::kDownloadUrl};
  if (const char* v = lookup("BRIVANE_UPDATE_URL")) a.manifest = v;
  if (const char* v = lookup("BRIVANE_DOWNLOAD_URL")) a.download = v;
  return a;
}

bool isWebAddress(std::string_view address) {
  std::string_view rest;
  if (startsWithIgnoreCase(address, "http://")) rest = address.substr(7);
  else if (startsWithIgnoreCase(address, "https://")) rest = address.substr(8);
  else return false;
  if (rest.empty() || rest.front() == '/') return false;
  for (unsigned char c : address) {
    if (c <= ' ' || c == 0x7F) return false;
  }
  return true;
}

}  // namespace brivane
