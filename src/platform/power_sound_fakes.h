#pragma once
#include <string>
#include <vector>

#include "platform/display_power.h"
#include "platform/notification_sound.h"

// Recording fakes of the power and sound seams, for tests of their users.
namespace brivane {

// Records every call as one word: "on", "low", "hold", "reset", "restore".
class FakeDisplayPower : public DisplayPower {
 public:
  void monitorOn() override { calls.push_back("on"); }
  void monitorLowPower() override { calls.push_back("low"); }
  void holdScreenSaver() override { calls.push_back("hold"); }
  void resetIdleTimer() override { calls.push_back("reset"); }
  void restore() override { calls.push_back("restore"); }
  std::vector<std::string> calls;
};

// Records every path it was asked to play and answers `result`.
class FakeNotificationSound : public NotificationSound {
 public:
  bool play(const std::string& path) override { return played.push_back(path), result; }
  std::vector<std::string> played;
  bool result = true;
};

}  // namespace brivane
