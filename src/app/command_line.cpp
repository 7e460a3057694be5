#include "app/command_line.h"

#include <cstdint>

#include "common/text.h"

namespace brivane {

uint8_t RunMode = kRunSettings;
int32_t ParentWindow = 0;

namespace {

// A signed decimal integer that fits 32 bits, or an X11 window id in "0x"
// hexadecimal as X11 tools print it; else 0.
int32_t handleOf(const std::string& text) {
  std::string_view v = text;
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    v.remove_prefix(2);
    if (v.size() > 8) return 0;
    int64_t n = 0;
    for (char c : v) {
      const int d = hexDigitValue(c);
      if (d < 0) return 0;
      n = n * 16 + d;
    }
    return n > INT32_MAX ? 0 : static_cast<int32_t>(n);
  }
  bool negative = false;
  if (!v.empty() && (v[0] == '-' || v[0] == '+')) {
    negative = v[0] == '-';
    v.remove_prefix(1);
  }
  if (v.empty() || v.size() > 10) return 0;
  int64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  if (negative) n = -n;
  if (n < INT32_MIN || n > INT32_MAX) return 0;
  return static_cast<int32_t>(n);
}

// An X11 window id: unsigned decimal, or "0x" hexadecimal; at most 32
// bits, never 0. 0 for anything else.
unsigned long windowIdOf(std::string_view v) {
  int base = 10;
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    v.remove_prefix(2);
    base = 16;
  }
  if (v.empty() || v.size() > (base == 16 ? 8u : 10u)) return 0;
  uint64_t n = 0;
  for (char c : v) {
    const int d = base == 16 ? hexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return 0;
    n = n * base + static_cast<uint64_t>(d);
  }
  return n > UINT32_MAX ? 0 : static_cast<unsigned long>(n);
}

}  // namespace

HostSwitch parseHostSwitch(const std::vector<std::string>& args, const char* hostWindowVariable) {
  HostSwitch result;
  if (args.empty()) return result;
  const std::string& first = args[0];
  const bool windowId = first == "--window-id" || first == "-window-id";
  const bool root = first == "--root" || first == "-root";
  if (!windowId && !root) return result;
  result.matched = true;
  const size_t expected = windowId ? 2 : 1;
  if (args.size() < expected) {
    result.error = first + " needs a window id (decimal or 0x hexadecimal)";
  } else if (args.size() > expected) {
    result.error = "unexpected \"" + args[expected] + "\" after " + first;
  } else if (windowId) {
    result.window = windowIdOf(args[1]);
    if (result.window == 0) result.error = "\"" + args[1] + "\" is not a window id (decimal or 0x hexadecimal)";
  } else if (hostWindowVariable != nullptr && *hostWindowVariable != '\0') {
    result.window = windowIdOf(hostWindowVariable);
    if (result.window == 0)
      result.error = std::string("XSCREENSAVER_WINDOW=\"") + hostWindowVariable + "\" is not a window id";
  }
  return result;
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  if (args.empty() || args[0].empty()) return result;
  std::string first = asciiLower(args[0]);
  if (first.size() > 1 && first[0] == '/') first.erase(0, 1);
  if (first.size() > 1 && first[0] == '-') first.erase(0, 1);
  switch (first[0]) {
    case 'c': result.runMode = kRunSettings; break;
    case 's': result.runMode = kRunFullScreen; break;
    case 'p':
    case 'l': result.runMode = kRunPreview; break;
    default: break;
  }
  std::string handleText;
  if (first.size() >= 3 && first[1] == ':') handleText = first.substr(2);
  else if (args.size() >= 2) handleText = args[1];
  else handleText = first;  // not a number: gives 0
  result.parentWindow = handleOf(handleText);
  return result;
}

void ParseCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const CommandLine cl = parseCommandLine(args);
  RunMode = cl.runMode;
  ParentWindow = cl.parentWindow;
}

}  // namespace brivane
