// Reading the address box: its leading number, the address byte of a request, the address set
// address may give, and the clean-up when the box loses the focus.
#include "engine/address_box.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "engine/address_entry_cases.h"

namespace karvello {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kNines(400, '9');
const std::string kTiny = "0." + std::string(400, '0') + "1";

struct ValueCase {
  std::string text;
  double expected;
};

class NumericValueCases : public ::testing::TestWithParam<ValueCase> {};

TEST_P(NumericValueCases, ReadsTheLeadingNumber) {
  EXPECT_DOUBLE_EQ(NumericValue(GetParam().text), GetParam().expected)
      << "'" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NumericValueCases,
    ::testing::Values(ValueCase{"5", 5}, ValueCase{"  12", 12}, ValueCase{"\t7", 7},
                      ValueCase{"+3", 3}, ValueCase{"-3", -3}, ValueCase{" -2.25", -2.25},
                      ValueCase{".5", 0.5}, ValueCase{"-.5", -0.5}, ValueCase{"5.", 5},
                      ValueCase{"5.5", 5.5}, ValueCase{"0.3", 0.3}, ValueCase{"12abc", 12},
                      ValueCase{"12 34", 12}, ValueCase{"3.14.15", 3.14}, ValueCase{"007", 7},
                      ValueCase{"255 ", 255}, ValueCase{"(1-255)", 0}, ValueCase{"", 0},
                      ValueCase{"   ", 0}, ValueCase{"abc", 0}, ValueCase{"-", 0},
                      ValueCase{".", 0}, ValueCase{"- 5", 0}, ValueCase{"+-5", 0},
                      ValueCase{std::string(400, '0') + "42", 42},
                      // Huge digit runs give infinity, not a crash; a fraction too small for a
                      // double is zero.
                      ValueCase{kNines, kInf}, ValueCase{"-" + kNines, -kInf},
                      ValueCase{" 1" + kNines + ".5abc", kInf}, ValueCase{kTiny, 0},
                      ValueCase{"." + std::string(400, '0') + "7", 0}, ValueCase{"-" + kTiny, 0}));

struct ByteCase {
  double value;
  std::uint8_t expected;
};

class AddressByteCases : public ::testing::TestWithParam<ByteCase> {};

TEST_P(AddressByteCases, RoundsHalfToEvenAndZeroesOutOfRange) {
  EXPECT_EQ(AddressByte(GetParam().value), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, AddressByteCases,
                         ::testing::Values(ByteCase{4.5, 4}, ByteCase{5.5, 6}, ByteCase{2.5, 2},
                                           ByteCase{1.5, 2}, ByteCase{4.4999, 4},
                                           ByteCase{4.5001, 5}, ByteCase{0.3, 0}, ByteCase{12, 12},
                                           ByteCase{255, 255}, ByteCase{255.4, 255},
                                           ByteCase{254.5, 254}, ByteCase{255.5, 0},
                                           ByteCase{256, 0}, ByteCase{1e9, 0}, ByteCase{-0.4, 0},
                                           ByteCase{-0.5, 0}, ByteCase{-1, 0}, ByteCase{-255, 0},
                                           ByteCase{std::numeric_limits<double>::quiet_NaN(), 0},
                                           ByteCase{kInf, 0}, ByteCase{-kInf, 0}));

// Set address sends only what was typed as a whole: a whole number from 1 to 255.
struct NewAddressCase {
  std::string text;
  std::optional<int> expected;
};

class NewDeviceAddressCases : public ::testing::TestWithParam<NewAddressCase> {};

TEST_P(NewDeviceAddressCases, TakesOnlyAWholeNumberFrom1To255) {
  const auto address = NewDeviceAddress(GetParam().text);
  EXPECT_EQ(address ? std::optional<int>(*address) : std::nullopt, GetParam().expected)
      << "'" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NewDeviceAddressCases,
    ::testing::Values(NewAddressCase{"5", 5}, NewAddressCase{" 12 ", 12},
                      NewAddressCase{"\t200\t", 200}, NewAddressCase{"007", 7},
                      NewAddressCase{"1", 1}, NewAddressCase{"255", 255},
                      NewAddressCase{"0", std::nullopt}, NewAddressCase{"256", std::nullopt},
                      NewAddressCase{"300", std::nullopt}, NewAddressCase{"", std::nullopt},
                      NewAddressCase{"   ", std::nullopt}, NewAddressCase{"12abc", std::nullopt},
                      NewAddressCase{"5.5", std::nullopt}, NewAddressCase{"5.0", std::nullopt},
                      NewAddressCase{"5.", std::nullopt}, NewAddressCase{"-3", std::nullopt},
                      NewAddressCase{"+5", std::nullopt}, NewAddressCase{"1 2", std::nullopt},
                      NewAddressCase{"5\n7", std::nullopt}, NewAddressCase{"(1-255)", std::nullopt},
                      NewAddressCase{std::string(30, '9'), std::nullopt}));

// The other requests go to the box's leading number, rounded to an address byte.
TEST(SlaveAddress, IsTheLeadingNumberAsAnAddressByte) {
  const std::pair<const char*, int> cases[] = {
      {"5", 5},   {"+5", 5},      {"5.0", 5},   {"5.", 5},     {"5\n7", 5}, {"5abc", 5},
      {"4.5", 4}, {"5.5", 6},     {"255", 255}, {"255.5", 0},  {"256", 0},  {"-1", 0},
      {"0.3", 0}, {"(1-255)", 0}, {"", 0},      {" 200 ", 200}};
  for (const auto& [text, slave] : cases)
    EXPECT_EQ(SlaveAddress(text), slave) << "'" << text << "'";
}

// Numbers too large for a double end at the bounds; so many digits after the point are still a
// plain fraction.
TEST(AddressEntryRule, KeepsTheAddressBoxInRange) {
  auto cases = test::kAddressEntryCases;
  cases.insert(cases.end(),
               {{kNines + "abc", "255"}, {"-" + kNines, "1"}, {"0." + kNines, "0." + kNines}});
  for (const auto& [typed, kept] : cases) {
    EXPECT_EQ(ApplyAddressEntryRule(typed), kept) << "typed \"" << typed << "\"";
  }
}

}  // namespace
}  // namespace karvello
