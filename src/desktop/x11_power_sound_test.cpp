#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "desktop/canberra_sound.h"
#include "desktop/x11_display_power.h"
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
    power.restore();
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    ASSERT_TRUE(XScreenSaverQueryInfo(display, DefaultRootWindow(display), info));
    EXPECT_GE(info->idle, 500u) << "the idle time was reset";
    XFree(info);
  }
  EXPECT_EQ(log, std::vector<std::string>{"Display power: the X server has no DPMS; monitor power requests skipped"});
  XCloseDisplay(display);
}

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
  if (saved) setenv("DISPLAY", previous.c_str(), 1); else unsetenv("DISPLAY");
  EXPECT_EQ(log.size(), 1u);
}

// A 10 ms silent WAV file (8 kHz, 16-bit mono).
void WriteWav(const std::string& path) {
  const uint32_t header[] = {0x46464952, 36 + 160, 0x45564157, 0x20746d66, 16, 0x00010001, 8000, 16000, 0x00100002,
                             0x61746164, 160};
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(header, sizeof header, 1, f);
  const std::vector<char> silence(160);
  fwrite(silence.data(), 1, silence.size(), f);
  fclose(f);
}

// Only regular files reach the library (a FIFO would block its reader), and
// a real file returns at once also where there is no audio device.
TEST(CanberraSound, RefusesNonFilesAndReturnsQuickly) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("brivane-sound-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);  // left by an ended run of the same process number
  std::filesystem::create_directories(dir);
  const std::string wav = (dir / "new.wav").string(), fifo = (dir / "fifo.wav").string();
  WriteWav(wav);
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
    for (const std::string& path : {std::string(), (dir / "missing.wav").string(), dir.string(), fifo, wav, wav}) {
      const auto start = std::chrono::steady_clock::now();
      const bool started = sound.play(path);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100)) << path;
      if (path != wav) {
        EXPECT_FALSE(started) << path;
      }
    }
    unblock.join();
  }
  EXPECT_LE(log.size(), 1u);  // at most the real file's failure, once
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace brivane
