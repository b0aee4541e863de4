// Sending the request steps, and the six timers that time them.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "operations/bench.h"

namespace karvello {
namespace {

using testing::Bench;
using testing::Hex;
using Calls = std::vector<std::string>;

const std::string kSetFailed = "设置失败！";
const std::string kQueryFailed = "查询失败！";
const std::string kMeasuring = "测试中...";

struct FrameCase {
  const char* text;
  CommandCode code;
  const char* frame;
};

TEST(SendCommand, WritesTheFrameOfEachCode) {
  const FrameCase cases[] = {
      {"1", 1, "00 06 00 12 00 01 E9 DE"},        {"1", 11, "01 06 00 12 00 01 E8 0F"},
      {"1", 2, "00 03 00 12 00 01 25 DE"},        {"1", 3, "01 06 00 11 00 01 18 0F"},
      {"1", 33, "01 03 00 0D 00 02 55 C8"},       {"1", 4, "01 03 00 0F 00 01 B4 09"},
      {"5", 1, "00 06 00 12 00 05 E8 1D"},        {"5", 11, "05 06 00 12 00 05 E8 48"},
      {"5", 2, "00 03 00 12 00 01 25 DE"},        {"5", 3, "05 06 00 11 00 01 19 8B"},
      {"5", 33, "05 03 00 0D 00 02 54 4C"},       {"5", 4, "05 03 00 0F 00 01 B5 8D"},
      {"255", 11, "FF 06 00 12 00 FF 7C 51"},     {"0.3", 3, "00 06 00 11 00 01 19 DE"},
      {"(1-255)", 33, "00 03 00 0D 00 02 54 19"}, {"", 4, "00 03 00 0F 00 01 B5 D8"},
      {"(1-255)", 2, "00 03 00 12 00 01 25 DE"},  {"5.5", 4, "06 03 00 0F 00 01 B5 BE"},
  };
  for (const auto& c : cases) {
    Bench b;
    b.Type(c.text);
    b.ops.SendCommand(c.code);
    ASSERT_EQ(b.Sent(), 1U) << c.text << " code " << c.code;
    EXPECT_EQ(b.comm.Written()[0], Hex(c.frame)) << c.text << " code " << c.code;
    EXPECT_EQ(b.S().PendingCommand, c.code);
  }
}

TEST(SendCommand, ThresholdThenWriteThenClearBothBuffers) {
  for (CommandCode code : {1, 11, 2, 3, 4}) {
    Bench b;
    b.Type("5");
    b.ops.SendCommand(code);
    EXPECT_EQ(b.comm.Calls(), (Calls{"threshold 1", "write", "clear-in", "clear-out"})) << code;
    EXPECT_EQ(b.comm.RThreshold(), 1);
  }
  Bench b;
  b.Type("5");
  b.ops.SendCommand(CMD_READ_RESISTANCE);
  EXPECT_EQ(b.comm.Calls(),
            (Calls{"threshold 1", "threshold 9", "write", "clear-in", "clear-out"}));
  EXPECT_EQ(b.comm.RThreshold(), 9);
  b.ops.SendCommand(CMD_QUERY_VOLTAGE);
  EXPECT_EQ(b.comm.RThreshold(), 1);
}

TEST(SendCommand, ArmsTheTimerOfItsStep) {
  const std::pair<CommandCode, int> cases[] = {{1, 4}, {11, 1}, {2, 2}, {3, 6}, {33, 3}, {4, 5}};
  for (const auto& [code, timer] : cases) {
    Bench b;
    b.Type("5");
    b.ops.SendCommand(code);
    for (int t = 1; t <= 6; ++t)
      EXPECT_EQ(b.On(t), t == timer) << "code " << code << " timer " << t;
  }
}

TEST(Timers, Intervals) {
  Bench b;
  for (int t = 1; t <= 5; ++t) EXPECT_EQ(b.ops.Timer(t).Interval(), std::chrono::milliseconds(100));
  EXPECT_EQ(b.ops.Timer(6).Interval(), std::chrono::milliseconds(1000));
  // A count of ticks is a promised time: no timer may drift by the coarse kind's 5 per cent.
  for (int t = 1; t <= 6; ++t) EXPECT_TRUE(b.ops.Timer(t).IsPrecise()) << "Timer" << t;
}

TEST(SetAddress, ConfirmationLeavesOnTheThirdTick) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  b.Tick(4, 2);
  EXPECT_EQ(b.Sent(), 1U);
  EXPECT_EQ(b.S().SetDelayTicks, 2);
  EXPECT_TRUE(b.On(4));
  b.Tick(4);
  ASSERT_EQ(b.Sent(), 2U);
  EXPECT_EQ(b.comm.Written()[1], Hex("05 06 00 12 00 05 E8 48"));
  EXPECT_EQ(b.S().PendingCommand, CMD_SET_ADDRESS_CONFIRM);
  EXPECT_FALSE(b.On(4));
  EXPECT_EQ(b.S().SetDelayTicks, 0);
  EXPECT_TRUE(b.On(1));
}

TEST(QueryResistance, ReadLeavesOnTheNineteenthTick) {
  Bench b;
  b.Type("5");
  b.ops.QueryResistance();
  EXPECT_EQ(b.texts.LogText(), kMeasuring);
  b.Tick(6, 18);
  EXPECT_EQ(b.Sent(), 1U);
  EXPECT_EQ(b.S().MeasureDelayTicks, 18);
  b.Tick(6);
  ASSERT_EQ(b.Sent(), 2U);
  EXPECT_EQ(b.comm.Written()[1], Hex("05 03 00 0D 00 02 54 4C"));
  EXPECT_EQ(b.comm.RThreshold(), 9);
  EXPECT_FALSE(b.On(6));
  EXPECT_EQ(b.S().MeasureDelayTicks, 0);
  EXPECT_TRUE(b.On(3));
  EXPECT_EQ(b.texts.LogText(), kMeasuring);
}

struct TimeoutCase {
  const char* name;
  std::function<void(Bench&)> start;
  int timer;
  std::int16_t FormState::*counter;
  std::string failure;
};

std::vector<TimeoutCase> TimeoutCases() {
  return {
      {"set address",
       [](Bench& b) {
         b.ops.SetAddress();
         b.Tick(4, 3);
       },
       1, &FormState::SetTimeoutTicks, kSetFailed},
      {"query address", [](Bench& b) { b.ops.QueryAddress(); }, 2, &FormState::AddrTimeoutTicks,
       kQueryFailed},
      {"resistance",
       [](Bench& b) {
         b.ops.QueryResistance();
         b.Tick(6, 19);
       },
       3, &FormState::ResTimeoutTicks, kQueryFailed},
      {"voltage", [](Bench& b) { b.ops.QueryVoltage(); }, 5, &FormState::VoltTimeoutTicks,
       kQueryFailed},
  };
}

TEST(Timeouts, FailureTextOnTheThirteenthTick) {
  for (const auto& c : TimeoutCases()) {
    Bench b;
    b.Type("5");
    c.start(b);
    const std::string before = b.texts.LogText();
    b.Tick(c.timer, 12);
    EXPECT_EQ(b.texts.LogText(), before) << c.name;
    EXPECT_EQ(b.S().*c.counter, 12) << c.name;
    EXPECT_TRUE(b.On(c.timer)) << c.name;
    b.Tick(c.timer);
    EXPECT_EQ(b.texts.LogText(), c.failure) << c.name;
    EXPECT_FALSE(b.On(c.timer)) << c.name;
    EXPECT_EQ(b.S().*c.counter, 0) << c.name;
  }
}

TEST(Timeouts, WithoutAPortEveryOperationEndsInItsFailure) {
  for (const auto& c : TimeoutCases()) {
    Bench b;
    b.comm.SetPortOpen(false);
    b.Type("5");
    c.start(b);
    EXPECT_EQ(b.Sent(), 0U);
    b.Tick(c.timer, 13);
    EXPECT_EQ(b.texts.LogText(), c.failure) << c.name;
  }
}

TEST(Timers, CountersNeverExceedTheirLimits) {
  const struct {
    std::function<void(Bench&)> start;
    int timer;
    std::int16_t FormState::*counter;
    int limit;
  } cases[] = {
      {[](Bench& b) { b.ops.SendCommand(11); }, 1, &FormState::SetTimeoutTicks, 12},
      {[](Bench& b) { b.ops.QueryAddress(); }, 2, &FormState::AddrTimeoutTicks, 12},
      {[](Bench& b) { b.ops.SendCommand(33); }, 3, &FormState::ResTimeoutTicks, 12},
      {[](Bench& b) { b.ops.SetAddress(); }, 4, &FormState::SetDelayTicks, 2},
      {[](Bench& b) { b.ops.QueryVoltage(); }, 5, &FormState::VoltTimeoutTicks, 12},
      {[](Bench& b) { b.ops.QueryResistance(); }, 6, &FormState::MeasureDelayTicks, 18},
  };
  for (const auto& c : cases) {
    Bench b;
    b.Type("5");
    c.start(b);
    int highest = 0;
    for (int i = 0; i < 100; ++i) {
      b.Tick(c.timer);
      const int value = b.S().*c.counter;
      ASSERT_GE(value, 0);
      ASSERT_LE(value, c.limit) << "timer " << c.timer;
      highest = std::max(highest, value);
    }
    EXPECT_EQ(highest, c.limit) << "timer " << c.timer;
  }
}

TEST(SecondPress, DoesNotRestartARunningCount) {
  {
    Bench b;
    b.ops.QueryAddress();
    b.Tick(2, 6);
    b.ops.QueryAddress();
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(2, 6);
    EXPECT_EQ(b.texts.LogText(), "");
    b.Tick(2);  // the 13th tick after the first press
    EXPECT_EQ(b.texts.LogText(), kQueryFailed);
  }
  {
    Bench b;
    b.Type("5");
    b.ops.QueryResistance();
    b.Tick(6, 10);
    b.ops.QueryResistance();
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(6, 8);
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(6);  // the 19th tick after the first press
    EXPECT_EQ(b.Sent(), 3U);
    EXPECT_EQ(b.comm.Written()[2], Hex("05 03 00 0D 00 02 54 4C"));
  }
  {
    Bench b;
    b.Type("5");
    b.ops.SetAddress();
    b.Tick(4);
    b.ops.SetAddress();
    b.Tick(4);
    EXPECT_EQ(b.Sent(), 2U);
    b.Tick(4);  // the 3rd tick after the first press
    EXPECT_EQ(b.Sent(), 3U);
    EXPECT_EQ(b.S().PendingCommand, CMD_SET_ADDRESS_CONFIRM);
  }
}

TEST(QueryResistance, NoAddressFailsAtOnceAndSendsNothing) {
  for (const char* text : {"(1-255)", "", "0", " 0", "-0", "abc", "0.0"}) {
    Bench b;
    b.Type(text);
    b.texts.SetLogText("earlier report");
    b.texts.Forget();
    b.ops.QueryResistance();
    EXPECT_EQ(b.texts.LogText(), kQueryFailed) << text;
    EXPECT_EQ(b.texts.Writes().size(), 1U) << text;  // no "测试中..." on the way
    EXPECT_EQ(b.comm.Calls(), Calls{"threshold 1"}) << text;
    EXPECT_EQ(b.S().PendingCommand, CMD_QUERY_RESISTANCE);
    for (int t = 1; t <= 6; ++t) EXPECT_FALSE(b.On(t)) << text;
  }
}

TEST(SetAddress, RefusesAnAddressThatIsNotAWholeNumberFrom1To255) {
  for (const char* text : {"", "(1-255)", "0", "5.5", "300", "256", "12abc", "-5", "1 2"}) {
    Bench b;
    b.Type(text);
    b.ops.SetAddress();
    EXPECT_EQ(b.texts.LogText(), kSetFailed) << text;
    EXPECT_EQ(b.Sent(), 0U) << text;
    EXPECT_EQ(b.comm.Calls(), Calls{"threshold 1"}) << text;
    EXPECT_FALSE(b.On(4)) << text;
    EXPECT_EQ(b.S().PendingCommand, CMD_SET_ADDRESS);
  }
  Bench b;
  b.Type(" 200 ");
  b.ops.SetAddress();
  ASSERT_EQ(b.Sent(), 1U);
  EXPECT_EQ(b.comm.Written()[0], Hex("00 06 00 12 00 C8 29 88"));
}

TEST(SetAddress, ConfirmationRefusedWhenTheBoxNoLongerHoldsAnAddress) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  b.Tick(4, 2);
  b.Type("abc");
  b.Tick(4);
  EXPECT_EQ(b.Sent(), 1U);
  EXPECT_EQ(b.texts.LogText(), kSetFailed);
  EXPECT_FALSE(b.On(4));
  EXPECT_FALSE(b.On(1));
  EXPECT_EQ(b.S().SetDelayTicks, 0);
  EXPECT_EQ(b.S().PendingCommand, CMD_SET_ADDRESS_CONFIRM);
}

}  // namespace
}  // namespace karvello
