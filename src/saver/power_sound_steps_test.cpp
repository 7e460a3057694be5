#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/power_sound_fakes.h"
#include "saver/power_sound_steps.h"

namespace brivane {
namespace {

// Records the power calls, the sound and the keep-awake timer switches of
// each step in one line, in the order they happened.
struct Rig {
  explicit Rig(const SaverSettings& settings)
      : steps(settings, power, sound, [this](bool run) { power.calls.push_back(run ? "start" : "stop"); }) {}
  std::string take() {
    std::string line;
    for (size_t i = 0; i < sound.played.size(); ++i) line += "sound ";
    for (const std::string& call : power.calls) line += call + " ";
    sound.played.clear();
    power.calls.clear();
    if (!line.empty()) line.pop_back();
    return line;
  }
  FakeDisplayPower power;
  FakeNotificationSound sound;
  PowerSoundSteps steps;
};

SaverSettings Options(bool play, bool off, bool on, bool stayOn) {
  SaverSettings settings;
  settings.playNotification = play;
  settings.notificationPath = "/sounds/new.wav";
  settings.monitorOff = off;
  settings.monitorOn = on;
  settings.monitorStayOn = stayOn;
  return settings;
}

struct Cycle {
  bool newMail, hasMessages;
  std::string expected;
};

TEST(PowerSoundSteps, EndOfCycleSequences) {
  struct Case {
    const char* name;
    SaverSettings settings;
    std::vector<Cycle> cycles;
  } cases[] = {
      {"first cycle with mail: sound, then monitor on and idle reset",
       Options(true, false, true, false), {{true, true, "sound on reset stop"}}},
      {"monitorOff alone: low power after each quiet cycle, woken once without idle reset",
       Options(false, true, false, false),
       {{false, false, "stop low"}, {false, false, "stop low"}, {false, true, "stop on"}, {false, true, "stop"}}},
      {"monitorOff and monitorOn: monitor on twice after a quiet cycle",
       Options(false, true, true, false), {{false, false, "stop low"}, {true, true, "on reset stop on reset"}}},
      {"monitorStayOn alone: keep-awake timer runs while messages wait",
       Options(true, false, false, true), {{false, true, "start"}, {true, true, "sound start"}, {false, false, "stop"}}},
  };
  for (const Case& c : cases) {
    Rig rig(c.settings);
    for (size_t i = 0; i < c.cycles.size(); ++i) {
      rig.steps.endOfCycle(c.cycles[i].newMail, c.cycles[i].hasMessages);
      EXPECT_EQ(rig.take(), c.cycles[i].expected) << c.name << ", cycle " << i;
    }
  }
}

TEST(PowerSoundSteps, LookUpDecidesIdleResets) {
  const std::pair<SaverSettings, bool> cases[] = {{Options(false, true, false, false), false},
                                                  {Options(false, false, true, false), true},
                                                  {Options(false, false, false, true), true}};
  for (const auto& [settings, lookedUp] : cases) {
    Rig rig(settings);
    EXPECT_EQ(rig.steps.executionStateLookedUp(), lookedUp);
    rig.steps.keepDisplayOnTick();
    EXPECT_EQ(rig.take(), lookedUp ? "reset" : "");
  }
}

TEST(PowerSoundSteps, ShowForgetsLoweredMonitorAndHideWakesIt) {
  Rig rig(Options(false, true, true, false));
  rig.steps.endOfCycle(false, false);
  ASSERT_TRUE(rig.steps.monitorLowered());
  rig.steps.windowShown();
  rig.take();
  rig.steps.endOfCycle(false, true);  // not lowered since the show: nothing to wake
  EXPECT_EQ(rig.take(), "stop");
  rig.steps.windowHidden();
  EXPECT_EQ(rig.take(), "on");
}

TEST(PowerSoundSteps, SoundGetsTheConfiguredPath) {
  Rig rig(Options(true, false, false, false));
  rig.steps.endOfCycle(true, true);
  EXPECT_EQ(rig.sound.played, std::vector<std::string>{"/sounds/new.wav"});
}

}  // namespace
}  // namespace brivane
