// The result texts of the resistance and voltage replies, and when a report can be formed.
#include "operations/reports.h"

#include <gtest/gtest.h>

#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;

TEST(FormatResistance, EveryRowOfTheExamples) {
  const std::pair<const char*, const char*> cases[] = {
      {"01 03 04 01 59 00 00 2B DC", "345"},     {"01 03 04 00 00 00 00 FA 33", "0"},
      {"01 03 04 00 05 00 01 2B F2", "0.5"},     {"01 03 04 00 00 00 01 3B F3", "0.0"},
      {"01 03 04 00 0A 00 01 1B F1", " 1.0"},    {"01 03 04 01 59 00 01 EA 1C", " 34.5"},
      {"01 03 04 00 05 00 02 6B F3", "0.05"},    {"01 03 04 00 00 00 02 7B F2", "0.00"},
      {"01 03 04 00 0A 00 02 5B F0", "0.10"},    {"01 03 04 00 63 00 02 8B EC", "0.99"},
      {"01 03 04 00 64 00 02 3A 2D", " 1.00"},   {"01 03 04 01 59 00 02 AA 1D", " 3.45"},
      {"01 03 04 FF FF 00 02 7B D6", " 655.35"}, {"01 03 04 01 59 00 03 6B DD", "OL"},
      {"01 03 04 00 00 00 FF BA 73", "OL"},
  };
  for (const auto& [reply, text] : cases) EXPECT_EQ(FormatResistance(Hex(reply)), text) << reply;
}

TEST(FormatResistance, ThresholdsAreExact) {
  // reading high, reading low, decimal count
  const struct {
    unsigned reading;
    std::uint8_t places;
    const char* text;
  } cases[] = {
      {9, 1, "0.9"},   {10, 1, " 1.0"},   {9, 2, "0.09"},        {10, 2, "0.10"},
      {99, 2, "0.99"}, {100, 2, " 1.00"}, {65535, 1, " 6553.5"}, {65535, 0, "65535"},
      {1, 0, "1"},     {0, 3, "OL"},
  };
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> rx = {0x01,
                                          0x03,
                                          0x04,
                                          static_cast<std::uint8_t>(c.reading >> 8),
                                          static_cast<std::uint8_t>(c.reading & 0xFF),
                                          0x00,
                                          c.places,
                                          0x00,
                                          0x00};
    EXPECT_EQ(FormatResistance(rx), c.text) << c.reading << " / " << int(c.places);
  }
}

TEST(FormatResistance, ByteFiveHasNoEffect) {
  EXPECT_EQ(FormatResistance(Hex("01 03 04 01 59 7F 01 CA 2C")), " 34.5");
  EXPECT_EQ(FormatResistance(Hex("01 03 04 01 59 FF 00 00 00")), "345");
}

TEST(FormatVoltage, WholeVolts) {
  EXPECT_EQ(FormatVoltage(Hex("01 03 02 00 00 B8 44")), "0");
  EXPECT_EQ(FormatVoltage(Hex("01 03 02 00 DC B9 DD")), "220");
  EXPECT_EQ(FormatVoltage(Hex("01 03 02 01 2C B8 09")), "300");
  EXPECT_EQ(FormatVoltage(Hex("01 03 02 FF FF B9 F4")), "65535");
}

TEST(Reports, NotFormedFromTooFewBytesOrAnAddressThatIsNotWhollyANumber) {
  const auto voltage = Hex("01 03 02 00 DC B9 DD");
  const auto resistance = Hex("01 03 04 01 59 00 01 EA 1C");
  const auto echo = Hex("01 06 00 12 00 01 E8 0F");
  const CrcPair crc{0xB4, 0x09};
  for (const char* ok : {"1", " 1 ", "001"}) {
    EXPECT_TRUE(VoltageReport(voltage, ok, crc)) << ok;
    EXPECT_TRUE(ResistanceReport(resistance, ok, crc, crc)) << ok;
    EXPECT_TRUE(SetAddressReport(echo, ok, crc, crc)) << ok;
  }
  for (const char* bad : {"12abc", "1.0", "", "(1-255)", "256", "-1"}) {
    EXPECT_FALSE(VoltageReport(voltage, bad, crc)) << bad;
    EXPECT_FALSE(ResistanceReport(resistance, bad, crc, crc)) << bad;
    EXPECT_FALSE(SetAddressReport(echo, bad, crc, crc)) << bad;
  }
  EXPECT_FALSE(VoltageReport(std::span(voltage).first(6), "1", crc));
  EXPECT_FALSE(ResistanceReport(std::span(resistance).first(8), "1", crc, crc));
  EXPECT_FALSE(SetAddressReport(std::span(echo).first(7), "1", crc, crc));
  EXPECT_FALSE(QueryAddressReport(std::span(voltage).first(6)));
  EXPECT_FALSE(QueryAddressReport({}));
}

}  // namespace
}  // namespace karvello
