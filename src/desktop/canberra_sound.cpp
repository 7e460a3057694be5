#include "desktop/canberra_sound.h"

#include <canberra.h>

#include <filesystem>

namespace brivane {
namespace {

constexpr uint32_t kSoundId = 1;  // every sound of this object, for the cancel at the end

}  // namespace

CanberraSound::CanberraSound(Log log) : log_(std::move(log)) {
  if (ca_context_create(&context_) != CA_SUCCESS) {
    context_ = nullptr;
    return;
  }
  ca_context_change_props(context_, CA_PROP_APPLICATION_NAME, "Brivane", nullptr);
}

CanberraSound::~CanberraSound() {
  if (!context_) return;
  ca_context_cancel(context_, kSoundId);
  ca_context_destroy(context_);
}

bool CanberraSound::play(const std::string& path) {
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) return false;
  int result = CA_ERROR_NOTAVAILABLE;
  if (context_) {
    ca_proplist* props = nullptr;
    if (ca_proplist_create(&props) == CA_SUCCESS) {
      ca_proplist_sets(props, CA_PROP_MEDIA_FILENAME, path.c_str());
      // A user's file, not a theme sound: keep it out of the sound server's cache.
      ca_proplist_sets(props, CA_PROP_CANBERRA_CACHE_CONTROL, "never");
      result = ca_context_play_full(context_, kSoundId, props, nullptr, nullptr);
      ca_proplist_destroy(props);
    }
  }
  if (result != CA_SUCCESS && !logged_) {
    logged_ = true;
    if (log_) log_("Notification sound: " + path + " could not be played (audio library: " + ca_strerror(result) + ")");
  }
  return result == CA_SUCCESS;
}

}  // namespace brivane
