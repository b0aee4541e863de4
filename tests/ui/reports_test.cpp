// The log box's reports made from the engine's outcomes, and what a press asks of the engine by
// the address box's rules: pressed through the presenter on an in-memory line, every text byte
// for byte with its CR LF line ends.
#include "ui/presenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/fake_serial_line.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"
#include "ui/reports.h"

namespace karvello {
namespace {

using Op = Operation;

// After the press, in order: a reply arrives (its bytes), or one of these.
const std::string kDelay = "delay";       // the delay before the second request runs out
const std::string kTimeOut = "time-out";  // the reply's time-out runs out
const std::string kLost = "lost";         // the adapter is pulled

struct PressCase {
  Op operation;
  std::string typed;  // the address box at the press
  std::vector<std::string> events;
  std::vector<std::string> wire;  // the frames written
  std::vector<std::string> log;   // every text written into the log box, in order
  std::string addressAfter;
};

const std::string kFailedSet = "设置失败！";
const std::string kFailedQuery = "查询失败！";
const std::string kMeasuring = "测试中...";
const std::string kSet5 = "00 06 00 12 00 05 E8 1D";
const std::string kConfirm5 = "05 06 00 12 00 05 E8 48";
const std::string kBroadcastRead = "00 03 00 12 00 01 25 DE";
const std::string kStart5 = "05 06 00 11 00 01 19 8B";
const std::string kRead5 = "05 03 00 0D 00 02 54 4C";
const std::string kVoltage5 = "05 03 00 0F 00 01 B5 8D";

// The report of a resistance measured at address 5 from `reply`, showing `ohms`.
std::string Resistance(const std::string& reply, const std::string& ohms) {
  const std::string sent = "发送1：05 06 00 11 00 01 19 8B\r\n发送2：05 03 00 0D 00 02 54 4C\r\n";
  return "查询成功！\r\n" + sent + "接收 ：" + reply + "\r\n电阻 = " + ohms + "欧姆";
}
const std::string kVoltage220 =
    "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏";

// clang-format off
const PressCase kCases[] = {
    // Set address: the broadcast, the confirmation 300 ms later, the detector's echo.
    {Op::kSetAddress, "5", {kDelay, kConfirm5}, {kSet5, kConfirm5},
     {"设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
      "接收 ：05 06 00 12 00 05 E8 48"}, "5"},
    {Op::kSetAddress, "255", {kDelay, kTimeOut},
     {"00 06 00 12 00 FF 68 5E", "FF 06 00 12 00 FF 7C 51"}, {kFailedSet}, "255"},
    {Op::kSetAddress, "1", {kDelay, kTimeOut},
     {"00 06 00 12 00 01 E9 DE", "01 06 00 12 00 01 E8 0F"}, {kFailedSet}, "1"},
    // Only a whole number from 1 to 255 is sent.
    {Op::kSetAddress, "256", {}, {}, {kFailedSet}, "256"},
    {Op::kSetAddress, "0", {}, {}, {kFailedSet}, "0"},
    {Op::kSetAddress, "5.0", {}, {}, {kFailedSet}, "5.0"},
    {Op::kSetAddress, "12abc", {}, {}, {kFailedSet}, "12abc"},
    {Op::kSetAddress, "(1-255)", {}, {}, {kFailedSet}, "(1-255)"},
    {Op::kSetAddress, "5", {kDelay, "05 86 02 82 60"}, {kSet5, kConfirm5}, {kFailedSet}, "5"},
    {Op::kSetAddress, "5", {kDelay, "05 06 00 12 00 06 A8 49"}, {kSet5, kConfirm5}, {kFailedSet},
     "5"},
    {Op::kSetAddress, "5", {kLost}, {kSet5}, {kFailedSet}, "5"},
    // Query address: a broadcast whatever the box holds; the address found goes into the box.
    {Op::kQueryAddress, "7", {"0A 03 02 00 0A 9D 82"}, {kBroadcastRead},
     {"查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：0A 03 02 00 0A 9D 82\r\n地址：10"},
     "10"},
    {Op::kQueryAddress, "(1-255)", {"05 03 02 00 05 89 87"}, {kBroadcastRead},
     {"查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：05 03 02 00 05 89 87\r\n地址：5"}, "5"},
    {Op::kQueryAddress, "7", {"07 03 02 00 05 F0 47"}, {kBroadcastRead}, {kFailedQuery}, "7"},
    {Op::kQueryAddress, "7", {kTimeOut}, {kBroadcastRead}, {kFailedQuery}, "7"},
    // Resistance: "测试中..." from the start, the read 19 s later; 0, 1 or 2 decimal places.
    {Op::kQueryResistance, "5", {kDelay, "05 03 04 01 2C 00 00 7F C6"}, {kStart5, kRead5},
     {kMeasuring, Resistance("05 03 04 01 2C 00 00 7F C6", "300")}, "5"},
    {Op::kQueryResistance, "5", {kDelay, "05 03 04 01 59 00 01 AF DC"}, {kStart5, kRead5},
     {kMeasuring, Resistance("05 03 04 01 59 00 01 AF DC", " 34.5")}, "5"},
    {Op::kQueryResistance, "5", {kDelay, "05 03 04 00 63 00 02 CE 2C"}, {kStart5, kRead5},
     {kMeasuring, Resistance("05 03 04 00 63 00 02 CE 2C", "0.99")}, "5"},
    {Op::kQueryResistance, "5", {kDelay, "05 03 04 01 59 00 02 EF DD"}, {kStart5, kRead5},
     {kMeasuring, Resistance("05 03 04 01 59 00 02 EF DD", " 3.45")}, "5"},
    {Op::kQueryResistance, "5", {kDelay, "05 03 04 01 59 00 03 2E 1D"}, {kStart5, kRead5},
     {kMeasuring, Resistance("05 03 04 01 59 00 03 2E 1D", "OL")}, "5"},
    {Op::kQueryResistance, "5", {kDelay, "05 03 04 01 2C 00 00 7F C7"}, {kStart5, kRead5},
     {kMeasuring, kFailedQuery}, "5"},
    {Op::kQueryResistance, "5", {kDelay, kTimeOut}, {kStart5, kRead5}, {kMeasuring, kFailedQuery},
     "5"},
    // A leading number 0 starts no measurement; any other does, rounded to the slave's address.
    {Op::kQueryResistance, "0", {}, {}, {kFailedQuery}, "0"},
    {Op::kQueryResistance, "(1-255)", {}, {}, {kFailedQuery}, "(1-255)"},
    {Op::kQueryResistance, "1", {kLost}, {"01 06 00 11 00 01 18 0F"}, {kMeasuring, kFailedQuery},
     "1"},
    {Op::kQueryResistance, "0.4", {kLost}, {"00 06 00 11 00 01 19 DE"}, {kMeasuring, kFailedQuery},
     "0.4"},
    // Voltage: to the box's leading number, whatever follows it, 0 included.
    {Op::kQueryVoltage, "5", {"05 03 02 00 DC 48 1D"}, {kVoltage5}, {kVoltage220}, "5"},
    {Op::kQueryVoltage, "5abc", {"05 03 02 FF FF 48 34"}, {kVoltage5},
     {"查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 FF FF 48 34\r\n电压 = 65535伏"},
     "5abc"},
    {Op::kQueryVoltage, "(1-255)", {kTimeOut}, {"00 03 00 0F 00 01 B5 D8"}, {kFailedQuery},
     "(1-255)"},
    {Op::kQueryVoltage, "5", {"05 83 02 81 30"}, {kVoltage5}, {kFailedQuery}, "5"},
    // A reply after the time-out is reported after the failure.
    {Op::kQueryVoltage, "5", {kTimeOut, "05 03 02 00 DC 48 1D"}, {kVoltage5},
     {kFailedQuery, kVoltage220}, "5"},
};
// clang-format on

TEST(Reports, EachPressGivesItsFramesAndTodaysTexts) {
  for (const PressCase& c : kCases) {
    std::string events;
    for (const std::string& event : c.events) events += " [" + event + "]";
    SCOPED_TRACE(std::string(Describe(c.operation).name) + " \"" + c.typed + "\"" + events);
    FakeSerialLine line;
    ASSERT_TRUE(line.Open(1));
    Engine engine(line);
    testing::RecordingTexts texts;
    Presenter presenter(engine, texts);
    texts.Type(c.typed);
    presenter.Press(c.operation);
    for (const std::string& event : c.events) {
      if (event == kDelay) {
        engine.RunOut(c.operation, Engine::Wait::kDelay);
      } else if (event == kTimeOut) {
        engine.RunOut(c.operation, Engine::Wait::kTimeout);
      } else if (event == kLost) {
        line.Pull();
      } else {
        line.Receive(testing::Hex(event));
      }
    }
    std::vector<std::string> wire;
    for (const auto& frame : line.Written()) wire.push_back(testing::HexText(frame));
    EXPECT_EQ(wire, c.wire);
    EXPECT_EQ(texts.LogWrites(), c.log);
    EXPECT_EQ(texts.AddressText(), c.addressAfter);
  }
}

// Where the point falls among the reading's digits, and where "OL" begins.
TEST(Reports, ResistanceAndVoltageTexts) {
  const std::pair<Reading, const char*> resistances[] = {
      {{9, 1, false}, "0.9"},         {{10, 1, false}, " 1.0"},     {{0, 2, false}, "0.00"},
      {{9, 2, false}, "0.09"},        {{99, 2, false}, "0.99"},     {{100, 2, false}, " 1.00"},
      {{65535, 2, false}, " 655.35"}, {{65535, 0, false}, "65535"}, {{0, 0, false}, "0"},
      {{345, 3, true}, "OL"},         {{345, 255, true}, "OL"},
  };
  for (const auto& [reading, text] : resistances) {
    EXPECT_EQ(FormatResistance(reading), text) << reading.number << " / " << reading.decimals;
  }
  EXPECT_EQ(FormatVoltage({0, 0, false}), "0");
  EXPECT_EQ(FormatVoltage({65535, 0, false}), "65535");
}

}  // namespace
}  // namespace karvello
