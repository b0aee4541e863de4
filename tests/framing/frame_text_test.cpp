// Byte and frame texts of the log.
#include "framing/frame_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;

TEST(FormatHexByte, TwoUpperCaseDigits) {
  const std::pair<int, const char*> cases[] = {{0, "00"},   {6, "06"},   {9, "09"},  {15, "0F"},
                                               {16, "10"},  {18, "12"},  {37, "25"}, {160, "A0"},
                                               {188, "BC"}, {222, "DE"}, {255, "FF"}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(FormatHexByte(static_cast<std::uint8_t>(value)), expected) << value;
  }
}

TEST(FormatFrameText, SingleSpacesAndLength3NMinus1) {
  // The bytes, how many of them are shown, and the text.
  const std::tuple<const char*, std::size_t, const char*> cases[] = {
      {"05 03 02 00 05 89 87", 7, "05 03 02 00 05 89 87"},
      {"00 03 00 12 00 01 25 DE", 8, "00 03 00 12 00 01 25 DE"},
      {"01 03 04 01 59 00 01 EA 1C", 9, "01 03 04 01 59 00 01 EA 1C"},
      {"01 03 04 01 59 00 01 EA 1C AA", 9, "01 03 04 01 59 00 01 EA 1C"},  // only `count` shown
      {"0A", 1, "0A"},
      {"0A 0B", 0, ""},
  };
  for (const auto& [bytes, count, expected] : cases) {
    const std::string text = FormatFrameText(Hex(bytes), count);
    EXPECT_EQ(text, expected);
    if (count > 0) {
      EXPECT_EQ(text.size(), 3 * count - 1);
    }
  }
}

TEST(FormatFrameText, NeverReadsPastTheBytes) {
  EXPECT_THROW(FormatFrameText(Hex("05 03 02 00 05"), 7), std::out_of_range);
  EXPECT_THROW(FormatFrameText({}, 1), std::out_of_range);
}

// Either case counts; the characters either side of each digit range do not.
TEST(HexDigit, BothCasesAndNothingNextToTheirRanges) {
  const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10},
                                        {'F', 15}, {'/', -1}, {':', -1}, {'@', -1}, {'G', -1},
                                        {'`', -1}, {'g', -1}, {' ', -1}, {'\0', -1}};
  for (const auto& [c, value] : cases) {
    EXPECT_EQ(HexDigit(c), value) << static_cast<int>(c);
  }
}

// The text of a frame reads back as its bytes; anything but two-digit pairs apart is refused.
TEST(BytesOfHexText, ReadsBackTheFrameTextAndRefusesAnythingElse) {
  const std::vector<std::uint8_t> frame = testing::Hex("05 03 02 00 DC 48 1D");
  EXPECT_EQ(BytesOfHexText(HexText(frame)), frame);
  EXPECT_EQ(BytesOfHexText(""), std::vector<std::uint8_t>{});
  for (const char* bad : {"5", "05 3", "0G", "050", "05,03", "-1"}) {
    EXPECT_EQ(BytesOfHexText(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace karvello
