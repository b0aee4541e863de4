#pragma once
// The resistance text a report must show, worked out apart from the tool's own formatting so that
// the fuzzer and the soak check the tool rather than repeat it.

#include <string>

namespace karvello::testing {

// The reading with `decimals` places; where the point falls among three or more digits the text
// keeps the sign position (a space) in front; more than two places read "OL".
inline std::string ExpectedResistanceText(unsigned reading, unsigned decimals) {
  const std::string digits = std::to_string(reading);
  switch (decimals) {
    case 0:
      return digits;
    case 1:
      if (reading < 10) return "0." + digits;
      return " " + digits.substr(0, digits.size() - 1) + "." + digits.substr(digits.size() - 1);
    case 2:
      if (reading < 10) return "0.0" + digits;
      if (reading < 100) return "0." + digits;
      return " " + digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2);
    default:
      return "OL";
  }
}

}  // namespace karvello::testing
