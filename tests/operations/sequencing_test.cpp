// The buttons and the countdowns: the frames each press sends, when the second step of an
// operation leaves, the time-outs, what one press fixes, and a line lost on the way.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "operations/bench.h"

namespace karvello {
namespace {

using testing::Bench;
using testing::Hex;
using testing::kAllClocks;
using Calls = std::vector<std::string>;
using Clocks = std::vector<Clock>;
using std::chrono::milliseconds;

const std::string kSetFailed = "设置失败！";
const std::string kQueryFailed = "查询失败！";
const std::string kMeasuring = "测试中...";

// Presses the button of `operation` and lets a delay in it run out.
void PressAndWait(Bench& b, Operation operation) {
  switch (operation) {
    case Operation::kSetAddress:
      b.ops.SetAddress();
      b.Tick(Clock::kSetDelay, 3);
      break;
    case Operation::kQueryAddress:
      b.ops.QueryAddress();
      break;
    case Operation::kQueryResistance:
      b.ops.QueryResistance();
      b.Tick(Clock::kMeasureDelay, 19);
      break;
    case Operation::kQueryVoltage:
      b.ops.QueryVoltage();
      break;
  }
}

std::vector<std::vector<std::uint8_t>> Frames(std::initializer_list<const char*> hex) {
  std::vector<std::vector<std::uint8_t>> out;
  for (const char* h : hex) out.push_back(Hex(h));
  return out;
}

TEST(Buttons, SendTheFramesOfTheirStepsForTheAddressInTheBox) {
  const struct {
    const char* text;
    Operation operation;
    std::vector<std::vector<std::uint8_t>> frames;
  } cases[] = {
      {"1", Operation::kSetAddress, Frames({"00 06 00 12 00 01 E9 DE", "01 06 00 12 00 01 E8 0F"})},
      {"1", Operation::kQueryAddress, Frames({"00 03 00 12 00 01 25 DE"})},
      {"1", Operation::kQueryResistance,
       Frames({"01 06 00 11 00 01 18 0F", "01 03 00 0D 00 02 55 C8"})},
      {"1", Operation::kQueryVoltage, Frames({"01 03 00 0F 00 01 B4 09"})},
      {"5", Operation::kSetAddress, Frames({"00 06 00 12 00 05 E8 1D", "05 06 00 12 00 05 E8 48"})},
      {"5", Operation::kQueryResistance,
       Frames({"05 06 00 11 00 01 19 8B", "05 03 00 0D 00 02 54 4C"})},
      {"5", Operation::kQueryVoltage, Frames({"05 03 00 0F 00 01 B5 8D"})},
      {"255", Operation::kSetAddress,
       Frames({"00 06 00 12 00 FF 68 5E", "FF 06 00 12 00 FF 7C 51"})},
      {" 200 ", Operation::kSetAddress,
       Frames({"00 06 00 12 00 C8 29 88", "C8 06 00 12 00 C8 39 C0"})},
      // 0.3 is not 0, so the measurement starts, at slave 0.
      {"0.3", Operation::kQueryResistance,
       Frames({"00 06 00 11 00 01 19 DE", "00 03 00 0D 00 02 54 19"})},
      {"(1-255)", Operation::kQueryAddress, Frames({"00 03 00 12 00 01 25 DE"})},
      {"", Operation::kQueryVoltage, Frames({"00 03 00 0F 00 01 B5 D8"})},
      {"5.5", Operation::kQueryVoltage, Frames({"06 03 00 0F 00 01 B5 BE"})},
      {"12abc", Operation::kQueryVoltage, Frames({"0C 03 00 0F 00 01 B5 14"})},
      // Set address takes only a whole number from 1 to 255; anything else sends nothing.
      {"(1-255)", Operation::kSetAddress, {}},
      {"", Operation::kSetAddress, {}},
      {"12abc", Operation::kSetAddress, {}},
      {"5.5", Operation::kSetAddress, {}},
      {"256", Operation::kSetAddress, {}},
      {"0", Operation::kSetAddress, {}},
      {"-1", Operation::kSetAddress, {}},
      // The queries go to the slave the box's leading number names, rounded half to even.
      {" 200 ", Operation::kQueryResistance,
       Frames({"C8 06 00 11 00 01 09 96", "C8 03 00 0D 00 02 44 51"})},
      {"4.5", Operation::kQueryVoltage, Frames({"04 03 00 0F 00 01 B4 5C"})},
      {"+5", Operation::kQueryVoltage, Frames({"05 03 00 0F 00 01 B5 8D"})},
      {"5.0", Operation::kQueryVoltage, Frames({"05 03 00 0F 00 01 B5 8D"})},
      {"5.", Operation::kQueryVoltage, Frames({"05 03 00 0F 00 01 B5 8D"})},
      {"5\n7", Operation::kQueryVoltage, Frames({"05 03 00 0F 00 01 B5 8D"})},
      {"255", Operation::kQueryVoltage, Frames({"FF 03 00 0F 00 01 A1 D7"})},
      // Out of range or negative after rounding: slave 0.
      {"256", Operation::kQueryResistance,
       Frames({"00 06 00 11 00 01 19 DE", "00 03 00 0D 00 02 54 19"})},
      {"255.5", Operation::kQueryResistance,
       Frames({"00 06 00 11 00 01 19 DE", "00 03 00 0D 00 02 54 19"})},
      {"-1", Operation::kQueryVoltage, Frames({"00 03 00 0F 00 01 B5 D8"})},
      {"-0.6", Operation::kQueryVoltage, Frames({"00 03 00 0F 00 01 B5 D8"})},
      // The address query is the one fixed broadcast, whatever the box holds.
      {"", Operation::kQueryAddress, Frames({"00 03 00 12 00 01 25 DE"})},
      {"255", Operation::kQueryAddress, Frames({"00 03 00 12 00 01 25 DE"})},
  };
  for (const auto& c : cases) {
    Bench b;
    b.Type(c.text);
    PressAndWait(b, c.operation);
    EXPECT_EQ(b.line.Written(), c.frames)
        << "'" << c.text << "' operation " << static_cast<int>(c.operation);
  }
}

// What waits is dropped before the write: a drop after it could take a quick reply, or an
// adapter's echo of the request, with it.
TEST(Buttons, EachStepDropsWhatWaitsThenWritesItsFrameOnce) {
  for (Operation operation : {Operation::kSetAddress, Operation::kQueryAddress,
                              Operation::kQueryResistance, Operation::kQueryVoltage}) {
    Bench b;
    b.Type("5");
    PressAndWait(b, operation);
    const bool twoSteps =
        operation == Operation::kSetAddress || operation == Operation::kQueryResistance;
    EXPECT_EQ(b.line.Calls(),
              twoSteps ? (Calls{"drop", "write", "drop", "write"}) : (Calls{"drop", "write"}))
        << static_cast<int>(operation);
  }
}

TEST(Buttons, EachStepStartsItsOwnCountdown) {
  const struct {
    const char* name;
    std::function<void(Bench&)> press;
    Clocks running;
  } cases[] = {
      {"set address", [](Bench& b) { b.ops.SetAddress(); }, {Clock::kSetDelay}},
      {"confirmation",
       [](Bench& b) { PressAndWait(b, Operation::kSetAddress); },
       {Clock::kSetTimeout}},
      {"query address", [](Bench& b) { b.ops.QueryAddress(); }, {Clock::kAddressTimeout}},
      {"query resistance", [](Bench& b) { b.ops.QueryResistance(); }, {Clock::kMeasureDelay}},
      {"resistance read",
       [](Bench& b) { PressAndWait(b, Operation::kQueryResistance); },
       {Clock::kResistanceTimeout}},
      {"query voltage", [](Bench& b) { b.ops.QueryVoltage(); }, {Clock::kVoltageTimeout}},
  };
  for (const auto& c : cases) {
    Bench b;
    b.Type("5");
    c.press(b);
    EXPECT_EQ(b.Running(), c.running) << c.name;
  }
}

TEST(SetAddress, ConfirmationLeavesOnTheThirdTick) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  EXPECT_EQ(b.ops.Pending(), StepId::kBroadcastAddress);
  b.Tick(Clock::kSetDelay, 2);
  EXPECT_EQ(b.Sent(), 1U);
  EXPECT_EQ(b.Count(Clock::kSetDelay), 2);
  EXPECT_TRUE(b.On(Clock::kSetDelay));
  b.Tick(Clock::kSetDelay);
  ASSERT_EQ(b.Sent(), 2U);
  EXPECT_EQ(b.LastSent(), Hex("05 06 00 12 00 05 E8 48"));
  EXPECT_EQ(b.ops.Pending(), StepId::kConfirmAddress);
  EXPECT_FALSE(b.On(Clock::kSetDelay));
  EXPECT_EQ(b.Count(Clock::kSetDelay), 0);
  EXPECT_TRUE(b.On(Clock::kSetTimeout));
  EXPECT_TRUE(b.texts.Writes().empty());
}

TEST(QueryResistance, ReadLeavesOnTheNineteenthTick) {
  Bench b;
  b.Type("5");
  b.ops.QueryResistance();
  EXPECT_EQ(b.texts.LogWrites(), std::vector<std::string>{kMeasuring});
  EXPECT_EQ(b.ops.Pending(), StepId::kStartMeasurement);
  b.Tick(Clock::kMeasureDelay, 18);
  EXPECT_EQ(b.Sent(), 1U);
  EXPECT_EQ(b.Count(Clock::kMeasureDelay), 18);
  b.Tick(Clock::kMeasureDelay);
  ASSERT_EQ(b.Sent(), 2U);
  EXPECT_EQ(b.LastSent(), Hex("05 03 00 0D 00 02 54 4C"));
  EXPECT_EQ(b.ops.Pending(), StepId::kReadResistance);
  EXPECT_FALSE(b.On(Clock::kMeasureDelay));
  EXPECT_EQ(b.Count(Clock::kMeasureDelay), 0);
  EXPECT_TRUE(b.On(Clock::kResistanceTimeout));
  EXPECT_EQ(b.texts.LogText(), kMeasuring);
}

struct TimeoutCase {
  const char* name;
  Operation operation;
  Clock timeout;
  std::string failure;
};

const TimeoutCase kTimeoutCases[] = {
    {"set address", Operation::kSetAddress, Clock::kSetTimeout, kSetFailed},
    {"query address", Operation::kQueryAddress, Clock::kAddressTimeout, kQueryFailed},
    {"resistance", Operation::kQueryResistance, Clock::kResistanceTimeout, kQueryFailed},
    {"voltage", Operation::kQueryVoltage, Clock::kVoltageTimeout, kQueryFailed},
};

TEST(Timeouts, FailureTextOnTheThirteenthTick) {
  for (const auto& c : kTimeoutCases) {
    Bench b;
    b.Type("5");
    PressAndWait(b, c.operation);
    const std::string before = b.texts.LogText();
    b.Tick(c.timeout, 12);
    EXPECT_EQ(b.texts.LogText(), before) << c.name;
    EXPECT_EQ(b.Count(c.timeout), 12) << c.name;
    EXPECT_TRUE(b.On(c.timeout)) << c.name;
    b.Tick(c.timeout);
    EXPECT_EQ(b.texts.LogText(), c.failure) << c.name;
    EXPECT_FALSE(b.On(c.timeout)) << c.name;
    EXPECT_EQ(b.Count(c.timeout), 0) << c.name;
    EXPECT_TRUE(b.Running().empty()) << c.name;
  }
}

TEST(Timeouts, WithoutAPortEveryOperationEndsInItsFailure) {
  for (const auto& c : kTimeoutCases) {
    Bench b;
    b.line.Close();
    b.line.ForgetCalls();
    b.Type("5");
    PressAndWait(b, c.operation);
    EXPECT_EQ(b.Sent(), 0U) << c.name;
    EXPECT_EQ(b.Tick(c.timeout, 20), 13) << c.name;
    EXPECT_EQ(b.texts.LogText(), c.failure) << c.name;
  }
}

TEST(Countdowns, NeverCountPastTheirLimits) {
  const struct {
    Operation operation;
    bool wait;  // let the operation's delay run out first
    Clock clock;
    int limit;
  } cases[] = {
      {Operation::kSetAddress, false, Clock::kSetDelay, 2},
      {Operation::kSetAddress, true, Clock::kSetTimeout, 12},
      {Operation::kQueryAddress, false, Clock::kAddressTimeout, 12},
      {Operation::kQueryResistance, false, Clock::kMeasureDelay, 18},
      {Operation::kQueryResistance, true, Clock::kResistanceTimeout, 12},
      {Operation::kQueryVoltage, false, Clock::kVoltageTimeout, 12},
  };
  for (const auto& c : cases) {
    Bench b;
    b.Type("5");
    if (c.wait) {
      PressAndWait(b, c.operation);
    } else {
      switch (c.operation) {
        case Operation::kSetAddress:
          b.ops.SetAddress();
          break;
        case Operation::kQueryAddress:
          b.ops.QueryAddress();
          break;
        case Operation::kQueryResistance:
          b.ops.QueryResistance();
          break;
        case Operation::kQueryVoltage:
          b.ops.QueryVoltage();
          break;
      }
    }
    int highest = 0;
    int ticks = 0;
    for (; ticks < 100 && b.Tick(c.clock) == 1; ++ticks) {
      ASSERT_GE(b.Count(c.clock), 0);
      ASSERT_LE(b.Count(c.clock), c.limit) << static_cast<int>(c.clock);
      highest = std::max(highest, b.Count(c.clock));
    }
    EXPECT_EQ(highest, c.limit) << static_cast<int>(c.clock);
    EXPECT_EQ(ticks, c.limit + 1) << static_cast<int>(c.clock);  // then it stops
  }
}

TEST(SecondPress, SendsAgainButDoesNotRestartARunningCount) {
  {
    Bench b;
    b.ops.QueryAddress();
    b.Tick(Clock::kAddressTimeout, 6);
    b.ops.QueryAddress();
    EXPECT_EQ(b.line.Written(), Frames({"00 03 00 12 00 01 25 DE", "00 03 00 12 00 01 25 DE"}));
    b.Tick(Clock::kAddressTimeout, 6);
    EXPECT_TRUE(b.texts.Writes().empty());
    b.Tick(Clock::kAddressTimeout);  // the 13th tick after the first press
    EXPECT_EQ(b.texts.LogText(), kQueryFailed);
  }
  {
    Bench b;
    b.Type("5");
    b.ops.QueryResistance();
    b.Tick(Clock::kMeasureDelay, 10);
    b.ops.QueryResistance();
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(Clock::kMeasureDelay, 8);
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(Clock::kMeasureDelay);  // the 19th tick after the first press
    ASSERT_EQ(b.Sent(), 3U);
    EXPECT_EQ(b.LastSent(), Hex("05 03 00 0D 00 02 54 4C"));
  }
  {
    Bench b;
    b.Type("5");
    b.ops.SetAddress();
    b.Tick(Clock::kSetDelay);
    b.ops.SetAddress();
    b.Tick(Clock::kSetDelay);
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(Clock::kSetDelay);  // the 3rd tick after the first press
    EXPECT_EQ(b.Sent(), 3U);
    EXPECT_EQ(b.ops.Pending(), StepId::kConfirmAddress);
  }
}

TEST(SecondPress, TheLatestPressFixesTheAddressAndItsReplyIsReported) {
  Bench b;
  b.Type("5");
  b.ops.QueryVoltage();
  b.Tick(Clock::kVoltageTimeout, 4);
  b.Type("1");
  b.ops.QueryVoltage();
  EXPECT_EQ(b.line.Written(), Frames({"05 03 00 0F 00 01 B5 8D", "01 03 00 0F 00 01 B4 09"}));
  EXPECT_EQ(b.Count(Clock::kVoltageTimeout), 4);
  b.Receive("01 03 02 00 DC B9 DD");
  EXPECT_EQ(b.texts.LogWrites(),
            std::vector<std::string>{"查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n"
                                     "接收：01 03 02 00 DC B9 DD\r\n电压 = 220伏"});
  EXPECT_TRUE(b.Running().empty());

  // Set address pressed again with another address: the confirmation goes to the second one.
  Bench s;
  s.Type("5");
  s.ops.SetAddress();
  s.Tick(Clock::kSetDelay);
  s.Type("7");
  s.ops.SetAddress();
  s.Tick(Clock::kSetDelay, 2);
  EXPECT_EQ(s.line.Written(), Frames({"00 06 00 12 00 05 E8 1D", "00 06 00 12 00 07 69 DC",
                                      "07 06 00 12 00 07 68 6B"}));
}

TEST(SecondPress, AnAddressThatDoesNotConvertNeverKeepsTheEarlierOne) {
  for (const char* failing : {"300", "", "(1-255)", "-7"}) {
    Bench b;
    b.Type("200");
    b.ops.QueryVoltage();
    ASSERT_EQ(b.LastSent(), Hex("C8 03 00 0F 00 01 A5 90"));
    b.Type(failing);
    b.ops.QueryVoltage();
    EXPECT_EQ(b.LastSent(), Hex("00 03 00 0F 00 01 B5 D8")) << failing;
  }
  // Set address refuses the text rather than falling back on the address it set before.
  Bench b;
  b.Type("200");
  b.ops.SetAddress();
  b.Tick(Clock::kSetDelay, 3);
  b.Type("300");
  b.ops.SetAddress();
  b.Tick(Clock::kSetDelay, 3);
  EXPECT_EQ(b.line.Written(), Frames({"00 06 00 12 00 C8 29 88", "C8 06 00 12 00 C8 39 C0"}));
  EXPECT_EQ(b.texts.LogText(), kSetFailed);
}

TEST(QueryResistance, NoAddressFailsAtOnceAndSendsNothing) {
  for (const char* text : {"(1-255)", "", "0", " 0", "-0", "abc", "0.0"}) {
    Bench b;
    b.Type(text);
    b.texts.SetLogText("earlier report");
    b.texts.Forget();
    b.ops.QueryResistance();
    // No "测试中..." on the way.
    EXPECT_EQ(b.texts.LogWrites(), std::vector<std::string>{kQueryFailed}) << text;
    EXPECT_TRUE(b.line.Calls().empty()) << text;
    EXPECT_EQ(b.ops.Pending(), StepId::kStartMeasurement) << text;
    EXPECT_TRUE(b.Running().empty()) << text;
  }
}

TEST(SetAddress, RefusesAnAddressThatIsNotAWholeNumberFrom1To255) {
  for (const char* text :
       {"", "(1-255)", "0", "5.5", "300", "256", "12abc", "-5", "1 2", "+5", "5.0", "5.", "5\n7"}) {
    Bench b;
    b.Type(text);
    b.ops.SetAddress();
    EXPECT_EQ(b.texts.LogWrites(), std::vector<std::string>{kSetFailed}) << text;
    EXPECT_TRUE(b.line.Calls().empty()) << text;
    EXPECT_TRUE(b.Running().empty()) << text;
    EXPECT_EQ(b.ops.Pending(), StepId::kBroadcastAddress) << text;
  }
  for (const char* text : {"1", "255", " 200 ", "007"}) {
    Bench b;
    b.Type(text);
    b.ops.SetAddress();
    EXPECT_EQ(b.Sent(), 1U) << text;
    EXPECT_TRUE(b.texts.Writes().empty()) << text;
  }
}

// What a press fixes: the address and the frames of its operation, whatever the box holds later.

TEST(OnePress, TheBoxEditedDuringTheSetAddressDelayChangesNothing) {
  for (const char* edit : {"7", "abc", "", "(1-255)"}) {
    Bench b;
    b.Type("5");
    b.ops.SetAddress();
    b.Tick(Clock::kSetDelay, 2);
    b.Type(edit);
    b.Tick(Clock::kSetDelay);
    EXPECT_EQ(b.line.Written(), Frames({"00 06 00 12 00 05 E8 1D", "05 06 00 12 00 05 E8 48"}))
        << edit;
    EXPECT_TRUE(b.On(Clock::kSetTimeout)) << edit;
    b.Receive("05 06 00 12 00 05 E8 48");
    EXPECT_EQ(b.texts.LogText(),
              "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
              "接收 ：05 06 00 12 00 05 E8 48")
        << edit;
    EXPECT_EQ(b.texts.AddressText(), edit);  // the tool leaves the box to the user
  }
}

TEST(OnePress, TheBoxEditedDuringTheMeasurementReadsTheDetectorThatMeasured) {
  for (const char* edit : {"2", "abc", "", "255"}) {
    Bench b;
    b.Type("1");
    b.ops.QueryResistance();
    b.Tick(Clock::kMeasureDelay, 10);
    b.Type(edit);
    b.Tick(Clock::kMeasureDelay, 9);
    EXPECT_EQ(b.line.Written(), Frames({"01 06 00 11 00 01 18 0F", "01 03 00 0D 00 02 55 C8"}))
        << edit;
    b.Receive("01 03 04 01 59 00 01 EA 1C");
    EXPECT_EQ(b.texts.LogText(),
              "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
              "接收 ：01 03 04 01 59 00 01 EA 1C\r\n电阻 =  34.5欧姆")
        << edit;
  }
}

TEST(OnePress, TheBoxEditedBeforeTheReplyChangesNeitherTheSlaveNorTheReport) {
  const struct {
    Operation operation;
    Clock timeout;
    const char* reply;
    std::string report;
  } cases[] = {
      {Operation::kQueryVoltage, Clock::kVoltageTimeout, "05 03 02 00 DC 48 1D",
       "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏"},
      {Operation::kSetAddress, Clock::kSetTimeout, "05 06 00 12 00 05 E8 48",
       "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
       "接收 ：05 06 00 12 00 05 E8 48"},
      {Operation::kQueryResistance, Clock::kResistanceTimeout, "05 03 04 01 59 00 00 6E 1C",
       "查询成功！\r\n发送1：05 06 00 11 00 01 19 8B\r\n发送2：05 03 00 0D 00 02 54 4C\r\n"
       "接收 ：05 03 04 01 59 00 00 6E 1C\r\n电阻 = 345欧姆"},
  };
  for (const auto& c : cases) {
    for (const char* edit : {"6", "12abc", "", "(1-255)"}) {
      Bench b;
      b.Type("5");
      PressAndWait(b, c.operation);
      b.Type(edit);
      b.Tick(c.timeout, 3);
      b.Receive(c.reply);
      EXPECT_EQ(b.texts.LogText(), c.report) << edit;
      EXPECT_TRUE(b.Running().empty()) << edit;
    }
  }
  // A reply from the slave that the new text names is not the one asked for.
  Bench b;
  b.Type("5");
  b.ops.QueryVoltage();
  b.Type("6");
  b.Receive("06 03 02 00 DC 0C 1D");
  b.line.FallSilent();
  EXPECT_EQ(b.texts.LogText(), kQueryFailed);
}

TEST(OnePress, AnAddressFoundDuringTheSetAddressDelayDoesNotRedirectTheConfirmation) {
  Bench b;
  b.Type("7");
  b.ops.SetAddress();
  b.ops.QueryAddress();
  b.Receive("05 03 02 00 05 89 87");
  ASSERT_EQ(b.texts.AddressText(), "5");
  b.Tick(Clock::kSetDelay, 3);
  EXPECT_EQ(b.LastSent(), Hex("07 06 00 12 00 07 68 6B"));
}

// A line lost on the way: the device pulled.

TEST(LostLine, FailsTheOperationInFlightAtOnceAndStopsEveryCountdown) {
  const struct {
    const char* name;
    std::function<void(Bench&)> start;
    std::string failure;
  } cases[] = {
      {"set-address delay", [](Bench& b) { b.ops.SetAddress(); }, kSetFailed},
      {"confirmation", [](Bench& b) { PressAndWait(b, Operation::kSetAddress); }, kSetFailed},
      {"query address", [](Bench& b) { b.ops.QueryAddress(); }, kQueryFailed},
      {"measurement", [](Bench& b) { b.ops.QueryResistance(); }, kQueryFailed},
      {"resistance read", [](Bench& b) { PressAndWait(b, Operation::kQueryResistance); },
       kQueryFailed},
      {"query voltage", [](Bench& b) { b.ops.QueryVoltage(); }, kQueryFailed},
      {"set address during a voltage query",
       [](Bench& b) {
         b.ops.QueryVoltage();
         b.ops.SetAddress();
       },
       kSetFailed},
      {"voltage during the measurement",
       [](Bench& b) {
         b.ops.QueryResistance();
         b.ops.QueryVoltage();
       },
       kQueryFailed},
  };
  for (const auto& c : cases) {
    Bench b;
    b.Type("5");
    c.start(b);
    ASSERT_FALSE(b.Running().empty()) << c.name;
    b.texts.Forget();
    b.line.ForgetCalls();
    b.line.Pull();
    EXPECT_EQ(b.texts.LogWrites(), std::vector<std::string>{c.failure}) << c.name;
    EXPECT_TRUE(b.Running().empty()) << c.name;
    for (Clock clock : kAllClocks) EXPECT_EQ(b.Count(clock), 0) << c.name;
    EXPECT_FALSE(b.line.IsOpen()) << c.name;
    EXPECT_TRUE(b.line.Calls().empty()) << c.name;  // nothing more is sent
    // Whatever comes in later is not taken.
    b.Receive("05 03 02 00 DC 48 1D");
    b.line.FallSilent();
    EXPECT_EQ(b.texts.LogWrites(), std::vector<std::string>{c.failure}) << c.name;
  }
}

TEST(LostLine, WithNothingInFlightWritesNothing) {
  {
    Bench b;
    b.line.Pull();
    EXPECT_TRUE(b.texts.Writes().empty());
    EXPECT_FALSE(b.line.IsOpen());
  }
  {
    // After a report the operation is over.
    Bench b;
    b.Type("5");
    b.ops.QueryVoltage();
    b.Receive("05 03 02 00 DC 48 1D");
    b.texts.Forget();
    b.line.Pull();
    EXPECT_TRUE(b.texts.Writes().empty());
  }
  {
    // After a time-out too.
    Bench b;
    b.ops.QueryAddress();
    b.Tick(Clock::kAddressTimeout, 13);
    b.texts.Forget();
    b.line.Pull();
    EXPECT_TRUE(b.texts.Writes().empty());
  }
}

TEST(LostLine, ThePortReopensAndTheNextPressRunsAsUsual) {
  Bench b;
  b.Type("5");
  b.ops.QueryVoltage();
  b.line.Pull();
  b.line.SetAvailable({1});  // plugged in again
  ASSERT_TRUE(b.line.Open(1));
  b.line.ForgetCalls();
  b.ops.QueryVoltage();
  EXPECT_EQ(b.line.Written(), Frames({"05 03 00 0F 00 01 B5 8D"}));
  b.Receive("05 03 02 00 DC 48 1D");
  EXPECT_EQ(b.texts.LogText(),
            "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n"
            "电压 = 220伏");
}

TEST(LostLine, ALineThatOutlivesTheOperationsCallsNothingOfThem) {
  FakeSerialLine line;
  line.Open(1);
  {
    PlainWindowTexts texts;
    Operations ops(line, texts);
    texts.SetAddressText("5");
    ops.QueryVoltage();
  }
  // With the operations gone, what the line hands up or says goes nowhere.
  line.Receive(Hex("05 03 02 00 DC 48 1D"));
  line.Receive(Hex("AA AA AA"));
  line.FallSilent();
  line.Pull();
  EXPECT_FALSE(line.IsOpen());
}

}  // namespace
}  // namespace karvello
