#pragma once
// Text that came from outside (a value typed on the command line or in an options file, a host
// name) shown back in a message: never a control character that a terminal or the journal would
// act on, and never more than a line's worth of it.

#include <cstddef>
#include <string>
#include <string_view>

namespace karvello {

// A value is shown up to its first this many bytes; the rest is left off and counted.
inline constexpr std::size_t kLongestShownValue = 64;

// The length of the UTF-8 sequence at the start of `text` (not empty), or 0 when it is none: a
// stray continuation byte, an overlong form, a surrogate, past U+10FFFF or cut short.
std::size_t Utf8SequenceLength(std::string_view text);

// `text` with each control character (C0, DEL, C1) and each byte that is not UTF-8 written as
// \xHH, every other character as it is.
std::string EscapedText(std::string_view text);

// `text` escaped and in double quotes ("a\x1Bb"); past kLongestShownValue bytes it is cut at a
// character's start and the whole length follows: "aaaa..."... (70000 bytes).
std::string QuotedValue(std::string_view text);

}  // namespace karvello
