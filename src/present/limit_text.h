#pragma once
// The resistance limit as people type it and as it is written back: one rule for the command
// line, its options file and the survey window.

#include <optional>
#include <string>
#include <string_view>

namespace karvello {

// Ohms as a limit takes them: a whole number of at most 9 digits, with at most 2 decimal places
// (the detector's finest): "20", "4.5", "0.25". None for anything else (a sign, an exponent,
// blanks, a third decimal). Read as a typed "4.1" is, so that it equals a reading of 4.1,
// whatever the locale.
std::optional<double> ParseLimitOhms(std::string_view text);

// "20", "4.5": the limit as the output writes it.
std::string LimitText(double ohms);

}  // namespace karvello
