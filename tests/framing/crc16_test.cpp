// CRC-16 of Modbus RTU: the tables, the check values, and how the last index is taken.
#include "framing/crc16.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;

std::vector<std::uint8_t> Slice(const std::array<std::uint8_t, 256>& table, std::size_t from,
                                std::size_t count) {
  return {table.begin() + static_cast<long>(from), table.begin() + static_cast<long>(from + count)};
}

TEST(CrcTables, BeginAndEndAsPublished) {
  EXPECT_EQ(Slice(kCrcTables.lo, 0, 16), Hex("00 C1 81 40 01 C0 80 41 01 C0 80 41 00 C1 81 40"));
  EXPECT_EQ(Slice(kCrcTables.lo, 248, 8), Hex("01 C0 80 41 00 C1 81 40"));
  EXPECT_EQ(Slice(kCrcTables.hi, 0, 16), Hex("00 C0 C1 01 C3 03 02 C2 C6 06 07 C7 05 C5 C4 04"));
  EXPECT_EQ(Slice(kCrcTables.hi, 240, 16), Hex("44 84 85 45 87 47 46 86 82 42 43 83 41 81 80 40"));
}

struct CrcCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  int lastIndex;
  std::uint8_t lo;
  std::uint8_t hi;
};

class CalcCrc16Cases : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CalcCrc16Cases, GivesLowAndHighByte) {
  const CrcCase& c = GetParam();
  // Whatever the two bytes held before, the result depends only on the covered bytes.
  for (std::uint8_t before : {0x00, 0x5A, 0xFF}) {
    std::uint8_t lo = before;
    std::uint8_t hi = static_cast<std::uint8_t>(~before);
    CalcCrc16(c.bytes, c.lastIndex, lo, hi);
    EXPECT_EQ(lo, c.lo) << c.name;
    EXPECT_EQ(hi, c.hi) << c.name;
  }
}

std::vector<std::uint8_t> Ascii(std::string_view s) {
  return {s.begin(), s.end()};
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CalcCrc16Cases,
    ::testing::Values(CrcCase{"query address frame", Hex("00 03 00 12 00 01 00 00"), 5, 0x25, 0xDE},
                      CrcCase{"resistance read", Hex("01 03 00 0D 00 02 00 00"), 5, 0x55, 0xC8},
                      CrcCase{"bytes after the last index do not count",
                              Hex("05 03 00 0F 00 01 B5 8D 77"), 5, 0xB5, 0x8D},
                      CrcCase{"check value over 1..9", Ascii("123456789"), 8, 0x37, 0x4B},
                      CrcCase{"single byte 01", Hex("01"), 0, 0x7E, 0x80},
                      CrcCase{"no byte covered", Hex("00 03 00 12 00 01 25 DE"), -1, 0xFF, 0xFF},
                      CrcCase{"empty frame, nothing covered", {}, -1, 0xFF, 0xFF}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(CalcCrc16, LastIndexBeyondTheFrameThrowsAndLeavesTheBytes) {
  const auto frame = Hex("00 03 00 12 00 01 25 DE");
  for (const auto& [bytes, lastIndex] :
       {std::pair{frame, 8}, std::pair{frame, 9}, std::pair{frame, 32766}, std::pair{Hex(""), 0}}) {
    std::uint8_t lo = 0xAB;
    std::uint8_t hi = 0xCD;
    EXPECT_THROW(CalcCrc16(bytes, lastIndex, lo, hi), std::out_of_range) << lastIndex;
    EXPECT_EQ(lo, 0xAB);
    EXPECT_EQ(hi, 0xCD);
  }
}

TEST(HasValidCrc, JudgesTheLastTwoBytes) {
  EXPECT_TRUE(HasValidCrc(Hex("05 03 02 00 05 89 87")));
  EXPECT_TRUE(HasValidCrc(Hex("05 06 00 12 00 05 E8 48")));
  EXPECT_FALSE(HasValidCrc(Hex("05 03 02 00 05 87 89")));  // swapped
  EXPECT_FALSE(HasValidCrc(Hex("05 03 02 00 05 89 86")));
  EXPECT_FALSE(HasValidCrc(Hex("05 03 02 00 04 89 87")));  // a data byte changed
  EXPECT_FALSE(HasValidCrc(Hex("FF FF")));
  EXPECT_FALSE(HasValidCrc({}));
}

}  // namespace
}  // namespace karvello
