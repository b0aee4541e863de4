#pragma once
// The command line's grammar as tables: each option of the tool and of each command, its names,
// its help and what it sets; each command, its synopsis and help. cli_options.cpp reads a command
// line with them and writes the help from them.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "cli/cli_options.h"

namespace karvello::cli::grammar {

// What a command line's options have set so far, beyond the invocation itself.
struct ParseState {
  Invocation run;
  std::string name;  // the command's
  bool everyGiven = false;
  bool alarmAfterGiven = false;
};

// Sets what an option given as `option` (as typed: "--address" or "-a") with `value` asks for.
using Apply = void (*)(ParseState& state, const std::string& option, const std::string& value);

// An option: its names, its value's name in the help (none: a flag), its help (none: not in the
// help) and what it sets. The help's lines after the first are indented to the help's column.
struct OptionEntry {
  char shortName;             // 0: none
  std::string_view longName;  // "": none
  bool longInHelp;            // the help names the long form too ("-p, --port")
  std::string_view valueName;
  std::string_view help;
  Apply apply;
};

// A command: its synopsis, its line in the tool's help, its own help around its options, and
// the column its options' help begins at.
struct CommandEntry {
  Command command;
  std::string_view name;
  std::string_view synopsis;  // after the name: "-a ADDR"
  std::string_view more;      // a second line of the synopsis in the tool's help
  std::string_view summary;   // in the tool's help
  std::string_view about;     // the command's help, before its options
  std::span<const OptionEntry> options;
  std::size_t column;
  std::string_view after;  // the command's help, after its options
};

// The tool's own options, before or after the command.
std::span<const OptionEntry> ToolOptions();
// The commands, in the order of the tool's help.
std::span<const CommandEntry> Commands();

}  // namespace karvello::cli::grammar
