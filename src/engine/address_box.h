#pragma once
// Reading the address box: the one place where its text becomes a device address.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/outcome.h"

namespace karvello {

// The addresses a detector can be given.
inline constexpr int kFirstDeviceAddress = 1;
inline constexpr int kLastDeviceAddress = 255;

// The number a text begins with: leading blanks skipped, an optional sign, digits, an optional
// decimal point and more digits; reading stops at the first character that does not continue
// the number. A text that begins with no number ("", "(1-255)", letters) gives 0. A number too
// large for a double gives plus or minus infinity.
double NumericValue(std::string_view text);

// The address byte of a request: `value` rounded to the nearest whole number (a half going to
// the even neighbour: 4.5 gives 4, 5.5 gives 6); anything outside 0 to 255 gives 0.
std::uint8_t AddressByte(double value);

// The slave a request to the address box's detector goes to: the box's leading number as an
// address byte. "5", "+5", "5.0" and "5abc" all give 5; "(1-255)" gives 0.
std::uint8_t SlaveAddress(std::string_view text);

// The address that set address may give a detector: the whole text a whole number from 1 to
// 255 (blanks around it allowed). Anything else would re-address every detector on the line
// with a value nobody typed, so it gives nothing.
std::optional<std::uint8_t> NewDeviceAddress(std::string_view text);

// What a press of `operation`'s button asks of the engine, by the text of the address box: set
// address takes the new address NewDeviceAddress gives; the query of the resistance needs a
// leading number other than 0, and goes to SlaveAddress; the query of the voltage goes to
// SlaveAddress whatever the text; the query of the address is a broadcast and reads no address.
Request RequestFromAddressBox(Operation operation, std::string_view text);

// Keeps the address box in range when it loses the focus: a leading number above 255 becomes
// "255", one below 0 becomes "1", and a text whose leading number is 0 (no number at all
// included) becomes empty. Each step reads the text left by the one before. An empty text stays
// empty; a fraction or a number followed by other characters stays as typed. A run of digits too
// long for a double reads as infinity and so becomes "255" (or "1" with a minus sign).
std::string ApplyAddressEntryRule(std::string text);

}  // namespace karvello
