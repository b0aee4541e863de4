// The reports: the frames as sent, the reply to its shown length, and the result texts of the
// resistance and voltage replies.
#include "operations/reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>

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

RequestFrame Frame(const char* hex) {
  const auto bytes = Hex(hex);
  RequestFrame frame{};
  std::copy(bytes.begin(), bytes.end(), frame.begin());
  return frame;
}

TEST(Reports, ShowTheFramesAsSentAndTheReplyToItsLength) {
  const struct {
    std::string report;
    std::string expected;
  } cases[] = {
      {SetAddressReport(Frame("00 06 00 12 00 05 E8 1D"), Frame("05 06 00 12 00 05 E8 48"),
                        Hex("05 06 00 12 00 05 E8 48")),
       "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
       "接收 ：05 06 00 12 00 05 E8 48"},
      // The frames are shown as they are, not rebuilt; a longer reply shows its first 8 bytes.
      {SetAddressReport(Frame("00 06 00 12 00 C8 11 22"), Frame("C8 06 00 12 00 C8 33 44"),
                        Hex("C8 06 00 12 00 C8 00 00 AA")),
       "设置成功！\r\n发送1：00 06 00 12 00 C8 11 22\r\n发送2：C8 06 00 12 00 C8 33 44\r\n"
       "接收 ：C8 06 00 12 00 C8 00 00"},
      {QueryAddressReport(Frame("00 03 00 12 00 01 25 DE"), Hex("FF 03 02 00 FF D1 D0 01")),
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：FF 03 02 00 FF D1 D0\r\n地址：255"},
      {QueryAddressReport(Frame("00 03 00 12 00 01 25 DE"), Hex("0A 03 02 00 0A 9D 82")),
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：0A 03 02 00 0A 9D 82\r\n地址：10"},
      {ResistanceReport(Frame("01 06 00 11 00 01 18 0F"), Frame("01 03 00 0D 00 02 55 C8"),
                        Hex("01 03 04 01 59 00 01 EA 1C 77")),
       "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
       "接收 ：01 03 04 01 59 00 01 EA 1C\r\n电阻 =  34.5欧姆"},
      // The two frames stay in their places.
      {ResistanceReport(Frame("01 03 00 0D 00 02 55 C8"), Frame("01 06 00 11 00 01 18 0F"),
                        Hex("01 03 04 01 59 00 00 2B DC")),
       "查询成功！\r\n发送1：01 03 00 0D 00 02 55 C8\r\n发送2：01 06 00 11 00 01 18 0F\r\n"
       "接收 ：01 03 04 01 59 00 00 2B DC\r\n电阻 = 345欧姆"},
      {VoltageReport(Frame("01 03 00 0F 00 01 B4 09"), Hex("01 03 02 00 DC B9 DD")),
       "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 DC B9 DD\r\n电压 = 220伏"},
      {VoltageReport(Frame("01 03 00 0F 00 01 B4 09"), Hex("01 03 02 00 00 B8 44 FF FF")),
       "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 00 B8 44\r\n电压 = 0伏"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.report, c.expected);
}

TEST(Reports, NeverReadPastAShortReply) {
  const RequestFrame request = Frame("01 03 00 0F 00 01 B4 09");
  const auto voltage = Hex("01 03 02 00 DC B9 DD");
  const auto resistance = Hex("01 03 04 01 59 00 01 EA 1C");
  const auto echo = Hex("01 06 00 12 00 01 E8 0F");
  EXPECT_THROW(VoltageReport(request, std::span(voltage).first(6)), std::out_of_range);
  EXPECT_THROW(QueryAddressReport(request, std::span(voltage).first(6)), std::out_of_range);
  EXPECT_THROW(ResistanceReport(request, request, std::span(resistance).first(8)),
               std::out_of_range);
  EXPECT_THROW(SetAddressReport(request, request, std::span(echo).first(7)), std::out_of_range);
  EXPECT_THROW(VoltageReport(request, {}), std::out_of_range);
}

}  // namespace
}  // namespace karvello
