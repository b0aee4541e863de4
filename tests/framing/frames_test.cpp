// The request frames built from a command code and the address box text.
#include "framing/frames.h"

#include <gtest/gtest.h>

#include <string>

#include "framing/crc16.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;

std::vector<std::uint8_t> Bytes(const RequestFrame& f) {
  return {f.begin(), f.end()};
}

struct FrameCase {
  CommandCode code;
  std::string addressText;
  std::string expected;
};

class BuildRequestFrameCases : public ::testing::TestWithParam<FrameCase> {};

TEST_P(BuildRequestFrameCases, GivesTheBytesAndLeavesTheCrc) {
  const FrameCase& c = GetParam();
  std::uint8_t lo = 0x11;
  std::uint8_t hi = 0x22;
  const RequestFrame frame = BuildRequestFrame(c.code, c.addressText, lo, hi);
  EXPECT_EQ(Bytes(frame), Hex(c.expected))
      << "code " << c.code << " text '" << c.addressText << "'";
  if (c.code == CMD_QUERY_ADDRESS) {
    // The stored frame: no CRC is computed, the bytes keep the last frame's CRC.
    EXPECT_EQ(lo, 0x11);
    EXPECT_EQ(hi, 0x22);
  } else {
    EXPECT_EQ(lo, frame[6]);
    EXPECT_EQ(hi, frame[7]);
  }
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, BuildRequestFrameCases,
                         ::testing::Values(FrameCase{1, "1", "00 06 00 12 00 01 E9 DE"},
                                           FrameCase{11, "1", "01 06 00 12 00 01 E8 0F"},
                                           FrameCase{2, "1", "00 03 00 12 00 01 25 DE"},
                                           FrameCase{3, "1", "01 06 00 11 00 01 18 0F"},
                                           FrameCase{33, "1", "01 03 00 0D 00 02 55 C8"},
                                           FrameCase{4, "1", "01 03 00 0F 00 01 B4 09"},
                                           FrameCase{1, "5", "00 06 00 12 00 05 E8 1D"},
                                           FrameCase{11, "5", "05 06 00 12 00 05 E8 48"},
                                           FrameCase{2, "5", "00 03 00 12 00 01 25 DE"},
                                           FrameCase{3, "5", "05 06 00 11 00 01 19 8B"},
                                           FrameCase{33, "5", "05 03 00 0D 00 02 54 4C"},
                                           FrameCase{4, "5", "05 03 00 0F 00 01 B5 8D"}));

INSTANTIATE_TEST_SUITE_P(AddressTexts, BuildRequestFrameCases,
                         ::testing::Values(FrameCase{1, "(1-255)", "00 06 00 12 00 00 28 1E"},
                                           FrameCase{11, "(1-255)", "00 06 00 12 00 00 28 1E"},
                                           FrameCase{11, "", "00 06 00 12 00 00 28 1E"},
                                           FrameCase{33, "(1-255)", "00 03 00 0D 00 02 54 19"},
                                           FrameCase{4, "", "00 03 00 0F 00 01 B5 D8"},
                                           FrameCase{11, "255", "FF 06 00 12 00 FF 7C 51"},
                                           FrameCase{3, "0.3", "00 06 00 11 00 01 19 DE"},
                                           FrameCase{11, "12abc", "0C 06 00 12 00 0C 28 D7"},
                                           FrameCase{4, "5.5", "06 03 00 0F 00 01 B5 BE"},
                                           FrameCase{4, "4.5", "04 03 00 0F 00 01 B4 5C"},
                                           FrameCase{33, " 200 ", "C8 03 00 0D 00 02 44 51"},
                                           FrameCase{2, "(1-255)", "00 03 00 12 00 01 25 DE"},
                                           FrameCase{2, "", "00 03 00 12 00 01 25 DE"},
                                           FrameCase{2, "255", "00 03 00 12 00 01 25 DE"},
                                           // Out of range or negative after rounding: slave 0.
                                           FrameCase{33, "256", "00 03 00 0D 00 02 54 19"},
                                           FrameCase{33, "255.5", "00 03 00 0D 00 02 54 19"},
                                           FrameCase{4, "-1", "00 03 00 0F 00 01 B5 D8"},
                                           FrameCase{4, "-0.6", "00 03 00 0F 00 01 B5 D8"}));

TEST(BuildRequestFrame, AFailedConversionNeverKeepsTheEarlierByte) {
  std::uint8_t lo = 0, hi = 0;
  const RequestFrame first = BuildRequestFrame(CMD_QUERY_VOLTAGE, "200", lo, hi);
  ASSERT_EQ(first[0], 0xC8);
  for (const char* failing : {"300", "", "(1-255)", "-7"}) {
    const RequestFrame second = BuildRequestFrame(CMD_QUERY_VOLTAGE, failing, lo, hi);
    EXPECT_EQ(Bytes(second), Hex("00 03 00 0F 00 01 B5 D8")) << failing;
    EXPECT_EQ(lo, 0xB5);
    EXPECT_EQ(hi, 0xD8);
  }
}

TEST(QueryAddressFrame, StoredCrcIsTheCrcOfItsMessage) {
  EXPECT_TRUE(HasValidCrc(kQueryAddressFrame));
  EXPECT_EQ(Bytes(FrameOf(LayoutOf(CMD_QUERY_ADDRESS, 0x77), 0x25, 0xDE)),
            Bytes(kQueryAddressFrame));
}

}  // namespace
}  // namespace karvello
