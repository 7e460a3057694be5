#pragma once
#include <string>

namespace brivane {

// The notification sound. play() starts the sound file `path` and returns at
// once (the sound plays on asynchronously); it plays nothing, and returns
// false, when `path` is not an existing regular file or cannot be started.
// There is never a fallback sound. Used by the saver at the end of a check
// cycle and by the settings dialog's Play button, from the UI thread.
// Real implementation: desktop/canberra_sound.h; fake: platform/power_sound_fakes.h.
class NotificationSound {
 public:
  virtual ~NotificationSound() = default;
  virtual bool play(const std::string& path) = 0;
};

}  // namespace brivane
