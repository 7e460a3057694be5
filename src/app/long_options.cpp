#include "app/long_options.h"

#include <cstdio>
#include <cstdlib>

#include "app/certificate_commands.h"
#include "app/check_mode.h"
#include "app/command_line.h"
#include "app/idle_mode.h"
#include "app/run_modes.h"
#include "common/log_directory.h"
#include "common/version.h"
#include "platform/registry_file.h"

namespace brivane {

namespace {

int runHelp(const std::vector<std::string>&) {
  std::fputs(usageText().c_str(), stdout);
  return 0;
}

int runVersion(const std::vector<std::string>&) {
  std::printf("Brivane %s\n", versionText(programVersion()).c_str());
  return 0;
}

// --window-id and --root: the saver inside a screensaver host's window.
int runHostSwitch(const char* option, const std::vector<std::string>& args) {
  std::vector<std::string> all{option};
  all.insert(all.end(), args.begin(), args.end());
  const HostSwitch host = parseHostSwitch(all, std::getenv("XSCREENSAVER_WINDOW"));
  if (!host.error.empty()) {
    std::fprintf(stderr, "brivane: %s\n", host.error.c_str());
    return kExitUsage;
  }
  return RunHostedMode(host.window);
}

int runWindowId(const std::vector<std::string>& args) { return runHostSwitch("--window-id", args); }
int runRoot(const std::vector<std::string>& args) { return runHostSwitch("--root", args); }

std::string logFolder() {
  const std::string dir = logDirectoryPath();
  return dir.empty() ? std::string("(no home folder known)") : dir;
}

// An option's line of the help: the left column, then the help wrapped at
// 79 columns in a column of its own (under the option when that is long).
std::string wrapped(std::string left, std::string_view help) {
  constexpr size_t kColumn = 18, kWidth = 79;
  if (left.size() < kColumn) left.resize(kColumn, ' ');
  else left += "\n" + std::string(kColumn, ' ');
  std::string out = left;
  size_t lineLength = kColumn;
  bool first = true;
  while (!help.empty()) {
    const size_t end = help.find(' ');
    const std::string_view word = help.substr(0, end);
    help = end == std::string_view::npos ? std::string_view() : help.substr(end + 1);
    if (!first && lineLength + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kColumn, ' ');
      lineLength = kColumn;
    } else if (!first) {
      out += ' ';
      ++lineLength;
    }
    out += word;
    lineLength += word.size();
    first = false;
  }
  return out + "\n";
}

}  // namespace

const std::vector<LongOption>& longOptions() {
  static const std::vector<LongOption> options = {
      {"help", "", "show this help and exit", &runHelp},
      {"version", "", "show the program's version and exit", &runVersion},
      {"check", "[--json] [--timeout SECONDS]",
       "check every account once and print what it found (exit status 0: all well, 1: a problem)",
       &checkModeMain},
      {"certificate", "ACCOUNT",
       "show the certificate the account's server presents now, whether it verifies and whether it is the one "
       "trusted for the account",
       &certificateMain},
      {"trust-certificate", "ACCOUNT SHA256",
       "trust the certificate with this SHA-256 fingerprint for the account although it does not verify; the "
       "server must present it now",
       &trustCertificateMain},
      {"window-id", "ID",
       "run the screensaver inside the X11 window ID (decimal or 0x hexadecimal), as screensaver hosts do: the "
       "host owns input and display power; also -window-id",
       &runWindowId},
      {"root", "",
       "the same in $XSCREENSAVER_WINDOW when set, else in the root window; also -root", &runRoot},
      {"idle", "",
       "watch this X display and start the screensaver after the inactivity time of the settings (one watcher "
       "per display; not in a Wayland session)",
       &idleModeMain},
  };
  return options;
}

std::optional<int> handleLongOption(int argc, const char* const* argv) {
  if (argc < 2) return std::nullopt;
  const std::string_view first = argv[1];
  // Screensaver hosts spell these two with one dash; they are taken whole,
  // before the one-letter switches would read them as "r" and "w".
  const bool hostSpelling = first == "-root" || first == "-window-id";
  if (!hostSpelling && (first.size() < 2 || first.substr(0, 2) != "--")) return std::nullopt;
  const std::string_view name = first.substr(hostSpelling ? 1 : 2);
  for (const auto& option : longOptions()) {
    if (option.name == name) {
      std::vector<std::string> rest;
      for (int i = 2; i < argc; ++i) rest.emplace_back(argv[i]);
      return option.run(rest);
    }
  }
  std::fprintf(stderr, "brivane: unknown option \"%.*s\" (try --help)\n", static_cast<int>(first.size()),
               first.data());
  return kExitUsage;
}

std::string usageText() {
  std::string t =
      "Usage: brivane [switch]\n"
      "       brivane --option\n"
      "\n"
      "Brivane is a mail-notification screensaver: while the computer is idle it\n"
      "shows the new mail of your POP3 and IMAP4 accounts.\n"
      "\n"
      "Switches (letters in either case; \"-\" may stand for \"/\"):\n"
      "  /s              run full screen\n"
      "  /p <window>     draw the preview into the X11 window with this decimal id;\n"
      "                  \"/p 0\" draws nothing and ends at once\n"
      "  /l <window>     the same as /p\n"
      "  /c[:<window>]   show the settings dialog (<window>: decimal X11 window id)\n"
      "  (none)          show the settings dialog; so does any other letter\n"
      "\n"
      "Only one instance runs at a time: a second one ends at once, showing nothing.\n"
      "\n"
      "Options:\n";
  for (const auto& option : longOptions()) {
    std::string left = "  --" + std::string(option.name);
    if (!option.argument.empty()) left += " " + std::string(option.argument);
    t += wrapped(left, option.help);
  }
  t += "\n"
       "ACCOUNT is an account's name or #N, N being its \"index\" in --check --json\n"
       "(quoted for the shell: '#2').\n"
       "SHA256 is 64 hexadecimal digits, with or without colons, as --certificate\n"
       "prints it.\n";
  const std::string store = FileRegistryStore::defaultPath();
  t += "\n"
       "Settings and accounts are kept in\n"
       "  " + (store.empty() ? std::string("(no home folder known)") : store) + "\n"
       "  ($BRIVANE_STORE, else $XDG_CONFIG_HOME/torvex/Brivane/brivane.reg)\n"
       "Logs are written to\n"
       "  " + logFolder() + "\n"
       "  ($XDG_STATE_HOME/Torvex/Brivane/, $XDG_STATE_HOME defaulting to ~/.local/state)\n";
  return t;
}

}  // namespace brivane
