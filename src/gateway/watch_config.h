#pragma once
// A watch's options kept in a file, as the service runs it (karvello-cli watch --config FILE):
// one option a line, its value after it on the same line.
//
//   # Site 1: the two detectors on the first adapter
//   --port /dev/ttyUSB0
//   -a 1,2
//   --every 5m
//   --resistance
//
// A line is an option ("-a", "--every", "--every=5m"), then, after white space (or "="), its
// value: the rest of the line, spaces and all, without quoting. A line whose first character
// other than white space is "#" is a comment; blank lines are skipped. A "#" within a value is
// part of it (a password may hold one), but a value holding white space then "#" (a comment
// after the value) or in quotes is refused: comments stand on lines of their own,
// and values are not quoted. --config, --help and --version cannot stand in the file.
//
// The file is a regular file of at most kLongestWatchConfig bytes; a folder, a FIFO or a
// device is refused without being opened.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace karvello::gateway {

// The most a configuration file may hold: a watch's options take a few hundred bytes.
inline constexpr std::size_t kLongestWatchConfig = 64 * 1024;

// A line the reader refuses, or a file it cannot read: "FILE:LINE: why" (line 0: the file as a
// whole). The caller reports it as bad usage.
struct WatchConfigError : std::runtime_error {
  WatchConfigError(const std::string& message, int line)
      : std::runtime_error(message), line(line) {}
  int line;
};

// An option of the file: its line's number, the option as typed ("--every", "-a") and its
// value, if the line gives one.
struct WatchConfigEntry {
  int line = 0;
  std::string option;
  std::optional<std::string> value;
  bool operator==(const WatchConfigEntry&) const = default;
};

// The options that `text` stands for, in order. `name` names the file in messages.
std::vector<WatchConfigEntry> ReadWatchConfig(std::string_view text, std::string_view name);
// The same of the file at `path`.
std::vector<WatchConfigEntry> ReadWatchConfigFile(const std::string& path);

}  // namespace karvello::gateway
