#pragma once
#include <functional>
#include <string>

#include "platform/notification_sound.h"

struct ca_context;

namespace brivane {

// The notification sound through libcanberra, loaded with the first sound:
// one context for the object's life from then on (create one per run), each sound started with ca_context_play_full
// and no completion callback, so the library's own threads never call into
// this program. play() returns as soon as the sound has been handed over
// (also when there is no audio device: the library then reports a failure
// and nothing plays). Paths that are not regular files (missing, folders,
// FIFOs that would block a reader) are refused before the library sees
// them. Sounds still playing are cancelled on destruction. UI thread only.
class CanberraSound : public NotificationSound {
 public:
  using Log = std::function<void(const std::string& line)>;

  // `log` receives the first failure to start a sound (once per object).
  explicit CanberraSound(Log log = {});
  ~CanberraSound() override;
  CanberraSound(const CanberraSound&) = delete;
  CanberraSound& operator=(const CanberraSound&) = delete;

  bool play(const std::string& path) override;

 private:
  ca_context* context_ = nullptr;
  bool contextFailed_ = false;
  Log log_;
  bool logged_ = false;
};

}  // namespace brivane
