#include "desktop/canberra_sound.h"

#include <canberra.h>
#include <dlfcn.h>

#include <filesystem>

#include "platform/run_time_library.h"

namespace brivane {
namespace {

constexpr uint32_t kSoundId = 1;  // every sound of this object, for the cancel at the end

// libcanberra and the codecs it links, loaded at the first sound: a run
// that plays none keeps them out of its memory. Never unloaded.
struct Canberra {
  bool loaded = false;
  decltype(&::ca_context_create) context_create = nullptr;
  decltype(&::ca_context_change_props) context_change_props = nullptr;
  decltype(&::ca_context_cancel) context_cancel = nullptr;
  decltype(&::ca_context_destroy) context_destroy = nullptr;
  decltype(&::ca_context_play_full) context_play_full = nullptr;
  decltype(&::ca_proplist_create) proplist_create = nullptr;
  decltype(&::ca_proplist_sets) proplist_sets = nullptr;
  decltype(&::ca_proplist_destroy) proplist_destroy = nullptr;
  decltype(&::ca_strerror) strerror = nullptr;
};

const Canberra& canberra() {
  static const Canberra loaded = [] {
    Canberra c;
    void* lib = ::dlopen("libcanberra.so.0", RTLD_NOW | RTLD_LOCAL);
    c.loaded = lib != nullptr && bindSymbol(lib, "ca_context_create", c.context_create) &&
               bindSymbol(lib, "ca_context_change_props", c.context_change_props) &&
               bindSymbol(lib, "ca_context_cancel", c.context_cancel) &&
               bindSymbol(lib, "ca_context_destroy", c.context_destroy) &&
               bindSymbol(lib, "ca_context_play_full", c.context_play_full) &&
               bindSymbol(lib, "ca_proplist_create", c.proplist_create) && bindSymbol(lib, "ca_proplist_sets", c.proplist_sets) &&
               bindSymbol(lib, "ca_proplist_destroy", c.proplist_destroy) && bindSymbol(lib, "ca_strerror", c.strerror);
    return c;
  }();
  return loaded;
}

}  // namespace

CanberraSound::CanberraSound(Log log) : log_(std::move(log)) {}

CanberraSound::~CanberraSound() {
  if (!context_) return;
  canberra().context_cancel(context_, kSoundId);
  canberra().context_destroy(context_);
}

bool CanberraSound::play(const std::string& path) {
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) return false;
  const Canberra& ca = canberra();
  if (ca.loaded && !context_ && !contextFailed_) {
    if (ca.context_create(&context_) == CA_SUCCESS) {
      ca.context_change_props(context_, CA_PROP_APPLICATION_NAME, "Brivane", nullptr);
    } else {
      context_ = nullptr;
      contextFailed_ = true;
    }
  }
  int result = CA_ERROR_NOTAVAILABLE;
  if (context_) {
    ca_proplist* props = nullptr;
    if (ca.proplist_create(&props) == CA_SUCCESS) {
      ca.proplist_sets(props, CA_PROP_MEDIA_FILENAME, path.c_str());
      // A user's file, not a theme sound: keep it out of the sound server's cache.
      ca.proplist_sets(props, CA_PROP_CANBERRA_CACHE_CONTROL, "never");
      result = ca.context_play_full(context_, kSoundId, props, nullptr, nullptr);
      ca.proplist_destroy(props);
    }
  }
  if (result != CA_SUCCESS && !logged_) {
    logged_ = true;
    const std::string why = !ca.loaded ? "libcanberra.so.0 could not be loaded" : ca.strerror(result);
    if (log_) log_("Notification sound: " + path + " could not be played (audio library: " + why + ")");
  }
  return result == CA_SUCCESS;
}

}  // namespace brivane
