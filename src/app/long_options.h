#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Options of the form "--name". They are handled before anything else (the
// instance guard included) and each ends the process with its own status.
namespace brivane {

struct LongOption {
  std::string_view name;      // without the dashes
  std::string_view argument;  // how its argument is shown in --help, or empty
  std::string_view help;      // one line for --help
  // Runs the option; `args` are the arguments after it. Returns the exit status.
  int (*run)(const std::vector<std::string>& args);
};

// Every long option, in the order --help lists them. A new option is one
// more entry of this table.
const std::vector<LongOption>& longOptions();

// Exit status of an unknown long option.
inline constexpr int kExitUsage = 2;

// When the first argument starts with "--": the exit status of handling it.
// Nothing otherwise (the screensaver switches then apply).
std::optional<int> handleLongOption(int argc, const char* const* argv);

// The --help text.
std::string usageText();

}  // namespace brivane
