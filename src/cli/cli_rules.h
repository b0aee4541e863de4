#pragma once
// The rules of karvello-cli's values and of its options taken together: what a number, an
// address or a time may be, and which options need or exclude others. Apart from the grammar of
// the command line (which word is an option, which its value) and its help.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/cli_options.h"

namespace karvello::cli {

// A whole number, digits only, from `low` to `high`.
std::optional<long long> Whole(std::string_view text, long long low, long long high);
// A detector's address, by the rule of set address: a whole number from 1 to 255. Throws
// UsageError naming `option`.
std::uint8_t Address(std::string_view option, std::string_view text);
// A network line's time in milliseconds, from `low` to `high`. Throws UsageError naming
// `option`.
std::chrono::milliseconds Milliseconds(std::string_view option, std::string_view text,
                                       long long low, std::chrono::milliseconds high);

// `value`, unless it is empty (an unset variable of a script): an empty value would switch the
// option's feature off without a word. Throws UsageError naming `option`.
const std::string& NonEmpty(std::string_view option, const std::string& value);

// For an option no command has that sets the serial line ("--baud", "--parity", "--stopbits",
// "-b"): that the line is always 9600 baud 8N1 (", which karvello-cli does not change: ...").
// Empty for any other option.
std::string SerialSettingNote(std::string_view option);

// Which options were given, beyond what they set.
struct GivenOptions {
  bool every = false;
  bool alarmAfter = false;
};

// The rules of the options of the command `name` taken together, once each has been read: the
// address a reading needs, a scan's range, a history's period, a watch's period and what its
// broker and alarm options need. Throws UsageError; fills in a watch's operations.
void CheckRules(Invocation& run, const std::string& name, const GivenOptions& given);

}  // namespace karvello::cli
