#include "app/long_options.h"

#include <cstdio>

#include "app/check_mode.h"
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

std::string logFolder() {
  const std::string dir = logDirectoryPath();
  return dir.empty() ? std::string("(no home folder known)") : dir;
}

}  // namespace

const std::vector<LongOption>& longOptions() {
  static const std::vector<LongOption> options = {
      {"help", "", "show this help and exit", &runHelp},
      {"version", "", "show the program's version and exit", &runVersion},
      {"check", "[--json] [--timeout SECONDS]",
       "check every account once and print what it found (exit status 0: all well, 1: a problem)",
       &checkModeMain},
  };
  return options;
}

std::optional<int> handleLongOption(int argc, const char* const* argv) {
  if (argc < 2) return std::nullopt;
  const std::string_view first = argv[1];
  if (first.size() < 2 || first.substr(0, 2) != "--") return std::nullopt;
  const std::string_view name = first.substr(2);
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
    if (left.size() < 18) left.resize(18, ' ');
    else left += "  ";
    t += left + std::string(option.help) + "\n";
  }
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
