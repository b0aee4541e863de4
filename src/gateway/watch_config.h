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
// A line is an option ("-a", "--every", "--every=5m"), then, after white space, its value: the
// rest of the line, spaces and all, without quoting. A line whose first character other than
// white space is "#" is a comment; blank lines are skipped. A "#" elsewhere is part of the
// value (a password may hold one).

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace karvello::gateway {

// A line the reader refuses, or a file it cannot read: "FILE:LINE: why" (line 0: the file as a
// whole). The caller reports it as bad usage.
struct WatchConfigError : std::runtime_error {
  WatchConfigError(const std::string& message, int line)
      : std::runtime_error(message), line(line) {}
  int line;
};

// The arguments that `text` stands for, in order. `name` names the file in messages.
std::vector<std::string> ReadWatchConfig(std::string_view text, std::string_view name);
// The same of the file at `path`.
std::vector<std::string> ReadWatchConfigFile(const std::string& path);

}  // namespace karvello::gateway
