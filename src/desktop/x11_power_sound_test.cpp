#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "desktop/canberra_sound.h"
#include "desktop/x11_display_power.h"
#include "temp_dir.h"
#include "xvfb_server.h"

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest names
#include <X11/extensions/scrnsaver.h>

namespace brivane {
namespace {

// Xvfb has no DPMS: every power request is skipped (no X error ends the
// process) and the reason is logged once. Keeping the monitor on never
// resets the idle time that screen lockers read.
TEST(X11DisplayPower, WithoutDpmsSkipsAndLogsOnce) {
  XvfbServer server;
  ASSERT_FALSE(server.name().empty()) << "Xvfb did not start";
  Display* display = XOpenDisplay(server.name().c_str());
  ASSERT_NE(display, nullptr);
  std::vector<std::string> log;
  {
    X11DisplayPower power(display, [&](const std::string& line) { log.push_back(line); });
    power.monitorLowPower();
    power.monitorOn();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    power.resetIdleTimer();
    power.monitorOn();
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    ASSERT_TRUE(XScreenSaverQueryInfo(display, DefaultRootWindow(display), info));
    EXPECT_GE(info->idle, 500u) << "the idle time was reset";
    XFree(info);
    // (restore() gives the suspension back; the server then counts the idle
    // time afresh unless its saver is active: its rule, not ours.)
    power.restore();
  }
  EXPECT_EQ(log, std::vector<std::string>{"Display power: the X server has no DPMS; monitor power requests skipped"});
  XCloseDisplay(display);
}

// The X server's saver (timeout 1 s) does not activate while the run holds it
// off, even when the monitor is kept on and woken meanwhile, and it is never
// switched off once active; after restore() it activates again. Its state
// changes are read as an idle tool reads them, from another connection.
TEST(X11DisplayPower, HoldsTheServersSaverOffUntilRestored) {
  XvfbServer server;
  ASSERT_FALSE(server.name().empty()) << "Xvfb did not start";
  Display* display = XOpenDisplay(server.name().c_str());
  Display* watcher = XOpenDisplay(server.name().c_str());
  ASSERT_NE(display, nullptr);
  ASSERT_NE(watcher, nullptr);
  XSetScreenSaver(watcher, 1, 0, DefaultBlanking, DefaultExposures);
  const auto state = [&] {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    XScreenSaverQueryInfo(watcher, DefaultRootWindow(watcher), info);
    const int s = info->state;
    XFree(info);
    return s;
  };
  const auto waitState = [&](int wanted) {
    for (int i = 0; i < 50 && state() != wanted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return state();
  };
  {
    X11DisplayPower power(display);
    power.holdScreenSaver();
    power.resetIdleTimer();  // a second hold is the same hold: one restore() gives it back
    EXPECT_TRUE(power.timersSuspended());
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(state(), ScreenSaverOff) << "the server's saver activated during the run";
    power.restore();
    EXPECT_FALSE(power.timersSuspended());
    EXPECT_EQ(waitState(ScreenSaverOn), ScreenSaverOn) << "the saver's timers were not given back";
    // Started while the server's saver is active (as xss-lock starts it):
    // holding, keeping on and waking leave that saver active.
    power.holdScreenSaver();
    power.monitorOn();
    power.resetIdleTimer();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(state(), ScreenSaverOn) << "the run ended the server's saver";
  }
  // Destruction gave the hold back too: the user's return (a reset) ends the
  // server's saver, and it comes again.
  XResetScreenSaver(watcher);
  XFlush(watcher);
  EXPECT_EQ(waitState(ScreenSaverOff), ScreenSaverOff);
  EXPECT_EQ(waitState(ScreenSaverOn), ScreenSaverOn) << "destruction did not give the hold back";
  XCloseDisplay(display);
  XCloseDisplay(watcher);
}

// With no X server at all the reason is logged once too.
TEST(X11DisplayPower, WithoutDisplayLogsOnce) {
  const char* saved = getenv("DISPLAY");
  const std::string previous = saved ? saved : "";
  setenv("DISPLAY", ":65000", 1);  // no server there
  std::vector<std::string> log;
  {
    X11DisplayPower power(nullptr, [&](const std::string& line) { log.push_back(line); });
    power.resetIdleTimer();
    power.monitorOn();
  }
  saved ? setenv("DISPLAY", previous.c_str(), 1) : unsetenv("DISPLAY");
  EXPECT_EQ(log.size(), 1u);
}

// Only regular files reach the library (a FIFO would block its reader), and
// a real file (a 10 ms silent WAV) returns at once also where there is no
// audio device, its failure logged at most once.
TEST(CanberraSound, RefusesNonFilesAndReturnsQuickly) {
  const test::TempDir dir("brivane-sound");
  const std::string wav = dir / "new.wav", fifo = dir / "fifo.wav";
  const uint32_t header[] = {0x46464952, 36 + 160, 0x45564157, 0x20746d66, 16, 0x00010001, 8000, 16000, 0x00100002,
                             0x61746164, 160};  // RIFF, WAVE, fmt: 8 kHz 16-bit mono, then 160 bytes of data
  test::writeAll(wav, std::string(reinterpret_cast<const char*>(header), sizeof header) + std::string(160, '\0'));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> log;
  {
    CanberraSound sound([&](const std::string& line) { log.push_back(line); });
    // Frees a reader stuck on the FIFO, so that a regression fails instead of hanging.
    std::thread unblock([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
    });
    for (const std::string& path : {std::string(), dir / "missing.wav", dir.path(), fifo, wav, wav}) {
      const auto start = std::chrono::steady_clock::now();
      const bool started = sound.play(path);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100)) << path;
      EXPECT_TRUE(path == wav || !started) << path;
    }
    unblock.join();
  }
  EXPECT_LE(log.size(), 1u);
}

}  // namespace
}  // namespace brivane
