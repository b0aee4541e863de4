#pragma once
// Reading numbers out of the address box.

#include <cstdint>
#include <optional>
#include <string_view>

namespace karvello {

// The number a text begins with: leading blanks skipped, an optional sign, digits, an optional
// decimal point and more digits; reading stops at the first character that does not continue
// the number. A text that begins with no number ("", "(1-255)", letters) gives 0. A number too
// large for a double gives plus or minus infinity.
double NumericValue(std::string_view text);

// The address byte of a request: `value` rounded to the nearest whole number (a half going to
// the even neighbour: 4.5 gives 4, 5.5 gives 6); anything outside 0 to 255 gives 0.
std::uint8_t AddressByte(double value);

// The text taken as a whole as a whole number: decimal digits with optional blanks around them
// and nothing else. "5" and " 12 " convert; "12abc", "5.5", "-3" and "" do not.
std::optional<long> WholeNumber(std::string_view text);

// True when the text is a whole number from 1 to 255: the only address a detector can be given.
bool IsValidDeviceAddress(std::string_view text);

}  // namespace karvello
