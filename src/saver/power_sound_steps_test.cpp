#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/power_sound_fakes.h"
#include "saver/power_sound_steps.h"

namespace brivane {
namespace {

SaverSettings Options(bool play, bool off, bool on, bool stayOn) {
  SaverSettings s;
  s.playNotification = play, s.notificationPath = "new.wav", s.monitorOff = off, s.monitorOn = on;
  s.monitorStayOn = stayOn;
  return s;
}

// Each row runs steps in order and expects, per step, the calls it made:
// "play new.wav", the power calls "on"/"low"/"hold"/"reset"/"restore", and the keep-awake
// timer's "start"/"stop". A step is an end of cycle "<newMail><hasMessages>"
// ("10": new mail, no messages), "show", "hide" or "tick" (tmrKeepDisplayOn).
TEST(PowerSoundSteps, Sequences) {
  struct Case {
    const char* name;
    SaverSettings settings;
    std::vector<std::pair<std::string, std::string>> steps;
  } cases[] = {
      {"first cycle with mail: sound, then monitor on and idle reset", Options(true, false, true, false),
       {{"11", "play new.wav on reset stop"}, {"tick", "reset"}, {"hide", "on restore"}}},
      {"monitorOff alone: low power after each quiet cycle, woken once, never an idle reset",
       Options(false, true, false, false),
       {{"00", "stop low"}, {"00", "stop low"}, {"01", "stop on"}, {"01", "stop"}, {"tick", ""}}},
      {"monitorOff and monitorOn: monitor on twice after a quiet cycle", Options(false, true, true, false),
       {{"00", "stop low"}, {"11", "on reset stop on reset"}}},
      {"shown again: a monitor lowered before is not woken", Options(false, true, true, false),
       {{"00", "stop low"}, {"show", "hold"}, {"01", "stop"}}},
      {"monitorStayOn alone: keep-awake timer while messages wait; the hold lasts until hidden", Options(true, false, false, true),
       {{"01", "start"}, {"11", "play new.wav start"}, {"tick", "reset"}, {"00", "stop"}, {"show", "hold"}, {"hide", "on restore"}}},
  };
  for (const Case& c : cases) {
    FakeDisplayPower power;
    FakeNotificationSound sound;
    PowerSoundSteps steps(c.settings, power, sound, [&](bool run) { power.calls.push_back(run ? "start" : "stop"); });
    for (const auto& [step, expected] : c.steps) {
      if (step == "show") steps.windowShown();
      else if (step == "hide") steps.windowHidden();
      else if (step == "tick") steps.keepDisplayOnTick();
      else steps.endOfCycle(step[0] == '1', step[1] == '1');
      std::string line;
      for (const std::string& path : sound.played) line += " play " + path;
      for (const std::string& call : power.calls) line += " " + call;
      EXPECT_EQ(line, expected.empty() ? "" : " " + expected) << c.name << ", step " << step;
      sound.played.clear(), power.calls.clear();
    }
  }
}

}  // namespace
}  // namespace brivane
