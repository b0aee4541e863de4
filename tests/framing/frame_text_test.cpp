// Byte and frame texts of the log, and the length of a reply told by its first bytes.
#include "framing/frame_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "framing/reply_frame.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;

TEST(FormatHexByte, TwoUpperCaseDigits) {
  const std::pair<int, const char*> cases[] = {{0, "00"},   {6, "06"},  {9, "09"},  {15, "0F"},
                                               {16, "10"},  {18, "12"}, {37, "25"}, {160, "A0"},
                                               {222, "DE"}, {255, "FF"}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(FormatHexByte(static_cast<std::uint8_t>(value)), expected) << value;
  }
  for (int v = 0; v < 256; ++v) {
    const std::string text = FormatHexByte(static_cast<std::uint8_t>(v));
    ASSERT_EQ(text.size(), 2U) << v;
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
    EXPECT_EQ(std::stoi(text, nullptr, 16), v);
  }
}

TEST(FormatFrameText, SingleSpacesAndLength3NMinus1) {
  const struct {
    const char* bytes;
    std::size_t count;
    const char* expected;
  } cases[] = {
      {"05 03 02 00 05 89 87", 7, "05 03 02 00 05 89 87"},
      {"00 03 00 12 00 01 25 DE", 8, "00 03 00 12 00 01 25 DE"},
      {"01 03 04 01 59 00 01 EA 1C", 9, "01 03 04 01 59 00 01 EA 1C"},
      {"01 03 04 01 59 00 01 EA 1C AA", 9, "01 03 04 01 59 00 01 EA 1C"},  // only `count` shown
      {"0A", 1, "0A"},
      {"0A 0B", 0, ""},
  };
  for (const auto& c : cases) {
    const std::string text = FormatFrameText(Hex(c.bytes), c.count);
    EXPECT_EQ(text, c.expected);
    if (c.count > 0) {
      EXPECT_EQ(text.size(), 3 * c.count - 1);
    }
  }
}

TEST(FormatFrameText, NeverReadsPastTheBytes) {
  EXPECT_THROW(FormatFrameText(Hex("05 03 02 00 05"), 7), std::out_of_range);
  EXPECT_THROW(FormatFrameText({}, 1), std::out_of_range);
}

TEST(ReplyLength, KnownFromTheFirstBytes) {
  const struct {
    const char* bytes;
    std::optional<std::size_t> expected;
  } cases[] = {
      {"", std::nullopt},
      {"05", std::nullopt},
      {"05 06", 8},
      {"05 06 00 12 00 05 E8 48", 8},
      {"05 03", std::nullopt},  // the byte count is not in yet
      {"05 03 02", 7},
      {"05 03 04", 9},
      {"05 03 00", 5},
      {"05 03 FF", 260},
      {"05 83", 5},
      {"05 86 02", 5},
      {"05 04 02", std::nullopt},  // a function whose replies the tool does not know
      {"05 10 00", std::nullopt},
      {"05 00", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ReplyLength(Hex(c.bytes)), c.expected) << c.bytes;
}

TEST(IsExceptionReply, HighBitOfTheFunctionCode) {
  EXPECT_TRUE(IsExceptionReply(Hex("05 83 02 81 30")));
  EXPECT_TRUE(IsExceptionReply(Hex("05 86")));
  EXPECT_FALSE(IsExceptionReply(Hex("05 03 02 00 05 89 87")));
  EXPECT_FALSE(IsExceptionReply(Hex("83")));
  EXPECT_FALSE(IsExceptionReply({}));
}

}  // namespace
}  // namespace karvello
