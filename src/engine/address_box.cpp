#include "engine/address_box.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace karvello {
namespace {

constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

double NumericValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // The number proper, kept without its sign so that from_chars reads it in every locale.
  std::string number;
  bool anyDigit = false;
  while (i < text.size() && IsDigit(text[i])) {
    number += text[i++];
    anyDigit = true;
  }
  if (i < text.size() && text[i] == '.') {
    number += text[i++];
    while (i < text.size() && IsDigit(text[i])) {
      number += text[i++];
      anyDigit = true;
    }
  }
  if (!anyDigit) return 0.0;
  if (number.front() == '.') number.insert(number.begin(), '0');
  double value = 0.0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Either a run of digits too large for a double, or a fraction so small ("0.000...01" with
    // hundreds of zeros) that it underflows: from_chars reports both alike and leaves `value`
    // alone. Only a non-zero digit before the point makes the number large.
    const auto point = number.find('.');
    const bool large = number.find_first_not_of('0') < std::min(point, number.size());
    value = large ? std::numeric_limits<double>::infinity() : 0.0;
  }
  (void)end;
  return negative ? -value : value;
}

std::uint8_t AddressByte(double value) {
  // nearbyint rounds in the current rounding mode, which is round-half-to-even by default.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= 0.0 && rounded <= 255.0)) return 0;
  return static_cast<std::uint8_t>(rounded);
}

namespace {

// The text taken as a whole as a whole number: decimal digits with optional blanks around them
// and nothing else. "5" and " 12 " convert; "12abc", "5.5", "-3" and "" do not.
std::optional<long> WholeNumber(std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && IsBlank(text[first])) ++first;
  std::size_t last = text.size();
  while (last > first && IsBlank(text[last - 1])) --last;
  if (first == last) return std::nullopt;
  long value = 0;
  const char* begin = text.data() + first;
  const char* end = text.data() + last;
  if (!IsDigit(*begin)) return std::nullopt;  // from_chars would take a minus sign
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint8_t> NewDeviceAddress(std::string_view text) {
  const auto value = WholeNumber(text);
  if (!value || *value < kFirstDeviceAddress || *value > kLastDeviceAddress) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

std::uint8_t SlaveAddress(std::string_view text) {
  return AddressByte(NumericValue(text));
}

std::string ApplyAddressEntryRule(std::string text) {
  if (text.empty()) return text;
  if (NumericValue(text) > kLastDeviceAddress) text = std::to_string(kLastDeviceAddress);
  if (NumericValue(text) < 0) text = std::to_string(kFirstDeviceAddress);
  if (NumericValue(text) == 0) text.clear();
  return text;
}

Request RequestFromAddressBox(Operation operation, std::string_view text) {
  switch (operation) {
    case Operation::kSetAddress:
      return {operation, NewDeviceAddress(text)};
    case Operation::kQueryAddress:
      return {operation, 0};
    case Operation::kQueryResistance:
      if (NumericValue(text) == 0) return {operation, std::nullopt};
      return {operation, SlaveAddress(text)};
    default:
      break;
  }
  return {operation, SlaveAddress(text)};
}

}  // namespace karvello
