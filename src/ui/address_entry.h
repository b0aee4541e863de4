#pragma once
// The clean-up of the address box when it loses the focus.

#include <string>

namespace karvello {

// Keeps the address box in range: a leading number above 255 becomes "255", one below 0
// becomes "1", and a text whose leading number is 0 (no number at all included) becomes empty.
// Each step reads the text left by the one before. An empty text stays empty; a fraction or a
// number followed by other characters stays as typed. A run of digits too long for a double
// reads as infinity and so becomes "255" (or "1" with a minus sign).
std::string ApplyAddressEntryRule(std::string text);

}  // namespace karvello
