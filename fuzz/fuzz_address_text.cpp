// Feeds arbitrary texts to the readers of the address box: NumericValue, AddressByte,
// SlaveAddress, NewDeviceAddress, the request each button makes of the text
// (RequestFromAddressBox) and the address entry rule. The whole input is the text; its
// first eight bytes are also taken as a double for AddressByte.
//
// Invariants, each checked against rules written out here independently of the tool's code:
// - NumericValue is the number of the longest leading "blanks, sign, digits, point, digits"
//   prefix, as the C library reads that prefix (never NaN; too large gives infinity);
// - AddressByte(v) is v rounded to the nearest whole number, a half going to the even
//   neighbour, when that lies in 0..255, and 0 otherwise: so it is non-zero only for v in
//   (0.5, 255.5), and 0 for NaN, for v <= 0.5 and for v >= 255.5 (255.5 rounds to 256);
// - SlaveAddress is AddressByte of NumericValue: the slave a query goes to;
// - NewDeviceAddress gives an address exactly for the texts that are decimal digits with blanks
//   around them and whose value is 1 to 255 (leading zeros allowed; no sign, point or exponent),
//   and that address is then NumericValue of the text and SlaveAddress of it too;
// - the requests: set address asks for exactly the address NewDeviceAddress gives (none: nothing
//   is sent); the query of the resistance asks nothing of a text whose NumericValue is 0 and
//   otherwise goes to its SlaveAddress; the query of the voltage always goes to SlaveAddress;
// - the entry rule keeps an empty text, and otherwise gives "255" above 255, "1" below 0, ""
//   at 0 and the text itself in between; applied twice it gives what it gives once; its result
//   is empty or has NumericValue in (0, 255].

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "engine/address_box.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text, double a = 0, double b = 0) {
  std::fprintf(stderr, "INVARIANT VIOLATED: %s\ntext (%zu bytes): \"%.*s\"\nvalues: %.17g %.17g\n",
               what, text.size(), static_cast<int>(std::min<std::size_t>(text.size(), 200)),
               text.data(), a, b);
  std::fflush(stderr);
  std::abort();
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The leading number of a text as the C library reads it, or 0 without one.
double ExpectedNumericValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  std::string number;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) number += text[i++];
  bool digits = false;
  while (i < text.size() && IsDigit(text[i])) number += text[i++], digits = true;
  if (i < text.size() && text[i] == '.') {
    number += text[i++];
    while (i < text.size() && IsDigit(text[i])) number += text[i++], digits = true;
  }
  if (!digits) return 0.0;
  errno = 0;
  return std::strtod(number.c_str(), nullptr);  // the "C" locale: the point is '.'
}

std::uint8_t ExpectedAddressByte(double v) {
  if (!(v >= -0.5 && v <= 255.5)) return 0;
  const double low = std::floor(v);
  const double rest = v - low;  // exact in this range
  double rounded = low;
  if (rest > 0.5 || (rest == 0.5 && std::fmod(low, 2.0) != 0.0)) rounded = low + 1;
  if (rounded < 0 || rounded > 255) return 0;
  return static_cast<std::uint8_t>(rounded);
}

void CheckAddressByte(double v, std::string_view text) {
  const std::uint8_t got = karvello::AddressByte(v);
  if (got != ExpectedAddressByte(v)) Fail("AddressByte", text, v, got);
  if (got != 0 && !(v > 0.5 && v < 255.5)) Fail("AddressByte outside (0.5, 255.5)", text, v, got);
}

// The address set address may give: the whole text decimal digits with blanks around them,
// valued 1 to 255.
std::optional<std::uint8_t> ExpectedNewAddress(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = std::min(1000U, value * 10 + static_cast<unsigned>(c - '0'));
  }
  if (value < 1 || value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

bool Same(double a, double b) {
  if (a == b) return true;
  // A fraction below the smallest normal double may come back as 0 or as its subnormal.
  return std::fabs(b) < std::numeric_limits<double>::min() &&
         std::fabs(a) < std::numeric_limits<double>::min();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const double value = karvello::NumericValue(text);
  if (std::isnan(value)) Fail("NumericValue is NaN", text);
  const double expected = ExpectedNumericValue(text);
  if (!Same(value, expected)) Fail("NumericValue", text, value, expected);

  CheckAddressByte(value, text);
  if (size >= sizeof(double)) {
    double raw;
    std::memcpy(&raw, data, sizeof raw);
    CheckAddressByte(raw, text);
  }

  const std::uint8_t slave = karvello::SlaveAddress(text);
  if (slave != ExpectedAddressByte(value)) Fail("SlaveAddress", text, value, slave);

  const auto address = karvello::NewDeviceAddress(text);
  const auto addressExpected = ExpectedNewAddress(text);
  if (address.has_value() != addressExpected.has_value()) Fail("NewDeviceAddress gives", text);
  if (address) {
    if (*address != *addressExpected)
      Fail("NewDeviceAddress value", text, *address, *addressExpected);
    if (static_cast<double>(*address) != value)
      Fail("NewDeviceAddress != NumericValue", text, *address, value);
    if (slave != *address) Fail("NewDeviceAddress != SlaveAddress", text, *address, slave);
  }

  using karvello::Operation;
  using karvello::RequestFromAddressBox;
  const auto set = RequestFromAddressBox(Operation::kSetAddress, text);
  if (set.operation != Operation::kSetAddress || set.address != addressExpected)
    Fail("set address's request", text, set.address.value_or(0));
  const auto resistance = RequestFromAddressBox(Operation::kQueryResistance, text);
  const std::optional<std::uint8_t> resistanceExpected =
      value == 0 ? std::nullopt : std::optional<std::uint8_t>(ExpectedAddressByte(value));
  if (resistance.operation != Operation::kQueryResistance ||
      resistance.address != resistanceExpected)
    Fail("the resistance query's request", text, resistance.address.value_or(0), value);
  const auto voltage = RequestFromAddressBox(Operation::kQueryVoltage, text);
  if (voltage.operation != Operation::kQueryVoltage ||
      voltage.address != ExpectedAddressByte(value))
    Fail("the voltage query's request", text, voltage.address.value_or(0), value);

  const std::string once = karvello::ApplyAddressEntryRule(text);
  std::string rule = text;
  if (!text.empty()) {
    if (value > 255) {
      rule = "255";
    } else if (value < 0) {
      rule = "1";
    } else if (value == 0) {
      rule.clear();
    }
  }
  if (once != rule) Fail("the entry rule", text, value);
  if (karvello::ApplyAddressEntryRule(once) != once) Fail("the entry rule is not idempotent", text);
  if (!once.empty()) {
    const double kept = karvello::NumericValue(once);
    if (!(kept > 0 && kept <= 255))
      Fail("the entry rule keeps a value outside (0, 255]", text, kept);
  }
  return 0;
}
