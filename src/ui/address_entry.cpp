#include "ui/address_entry.h"

#include "framing/numeric.h"

namespace karvello {

std::string ApplyAddressEntryRule(std::string text) {
  if (text.empty()) return text;
  if (NumericValue(text) > 255) text = "255";
  if (NumericValue(text) < 0) text = "1";
  if (NumericValue(text) == 0) text.clear();
  return text;
}

}  // namespace karvello
