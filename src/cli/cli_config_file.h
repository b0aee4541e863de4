#pragma once
// The options of a watch's --config file among those of the command line: each of the file's
// known to the command, with or without its value as the option takes one, given once in the
// files, and given way to by the same option on the command line wherever it stands there.
// Every refusal names the file and the line, and never repeats a value.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvello::cli {

// An option as given: as typed ("--every"), its value, and where it stands: "FILE:LINE" for a
// file's, empty for the command line's.
struct GivenOption {
  std::string option;
  std::optional<std::string> value;
  std::string where;
};

// What the command knows of an option as typed: the option itself (the same for "-a" and
// "--address") and whether it takes a value; none for one it does not have.
struct KnownOption {
  const void* id;
  bool takesValue;
};
using OptionLookup = std::function<std::optional<KnownOption>(std::string_view typed)>;

// `given` with each --config option followed by its file's options, less those the command line
// gives too. `unknown` words the refusal of an option the command does not have ("watch has no
// option --frobnicate"). Throws UsageError.
std::vector<GivenOption> WithConfigFiles(
    const std::vector<GivenOption>& given, const OptionLookup& lookup,
    const std::function<std::string(const std::string& option)>& unknown);

}  // namespace karvello::cli
