// Reading numbers out of the address box.
#include "framing/numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace karvello {
namespace {

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
                      ValueCase{std::string(400, '0') + "42", 42}));

TEST(NumericValue, HugeDigitRunsGiveInfinityNotACrash) {
  const std::string digits(400, '9');
  EXPECT_EQ(NumericValue(digits), std::numeric_limits<double>::infinity());
  EXPECT_EQ(NumericValue("-" + digits), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(NumericValue(" 1" + digits + ".5abc"), std::numeric_limits<double>::infinity());
}

TEST(NumericValue, AFractionTooSmallForADoubleIsZero) {
  // Hundreds of zeros after the point underflow; the number is still next to nothing.
  const std::string tiny = "0." + std::string(400, '0') + "1";
  EXPECT_EQ(NumericValue(tiny), 0.0);
  EXPECT_EQ(NumericValue("." + std::string(400, '0') + "7"), 0.0);
  EXPECT_EQ(NumericValue("-" + tiny), 0.0);
}

struct ByteCase {
  double value;
  std::uint8_t expected;
};

class AddressByteCases : public ::testing::TestWithParam<ByteCase> {};

TEST_P(AddressByteCases, RoundsHalfToEvenAndZeroesOutOfRange) {
  EXPECT_EQ(AddressByte(GetParam().value), GetParam().expected) << GetParam().value;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

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

struct WholeCase {
  std::string text;
  std::optional<long> expected;
};

class WholeNumberCases : public ::testing::TestWithParam<WholeCase> {};

TEST_P(WholeNumberCases, TakesTheWholeText) {
  EXPECT_EQ(WholeNumber(GetParam().text), GetParam().expected) << "'" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WholeNumberCases,
    ::testing::Values(WholeCase{"5", 5}, WholeCase{" 12 ", 12}, WholeCase{"\t200\t", 200},
                      WholeCase{"007", 7}, WholeCase{"0", 0}, WholeCase{"300", 300},
                      WholeCase{"", std::nullopt}, WholeCase{"   ", std::nullopt},
                      WholeCase{"12abc", std::nullopt}, WholeCase{"5.5", std::nullopt},
                      WholeCase{"12.0", std::nullopt}, WholeCase{"-3", std::nullopt},
                      WholeCase{"+3", std::nullopt}, WholeCase{"1 2", std::nullopt},
                      WholeCase{"(1-255)", std::nullopt},
                      WholeCase{std::string(30, '9'), std::nullopt}));

TEST(IsValidDeviceAddress, OnlyWholeNumbersFrom1To255) {
  for (const char* good : {"1", "5", " 200 ", "255", "007"}) {
    EXPECT_TRUE(IsValidDeviceAddress(good)) << good;
  }
  for (const char* bad : {"", "(1-255)", "0", "5.5", "300", "256", "12abc", "-5", " "}) {
    EXPECT_FALSE(IsValidDeviceAddress(bad)) << bad;
  }
}

}  // namespace
}  // namespace karvello
