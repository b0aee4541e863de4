// The request steps: the frame each sends for the address the box gives, what each accepts of a
// reply beyond its shape, and the countdowns that time them.
#include "operations/steps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "operations/bench.h"
#include "operations/countdown.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using std::chrono::milliseconds;
using testing::Bytes;
using testing::Frame;
using testing::Hex;

TEST(FrameOf, TheBroadcastCarriesTheAddressAndTheAddressQueryIgnoresIt) {
  for (int a = 0; a <= 255; ++a) {
    const auto address = static_cast<std::uint8_t>(a);
    const RequestFrame broadcast = FrameOf(StepOf(StepId::kBroadcastAddress), address);
    const RequestFrame confirmation = FrameOf(StepOf(StepId::kConfirmAddress), address);
    EXPECT_EQ(broadcast[0], 0) << a;
    EXPECT_EQ(broadcast[5], address) << a;
    // The confirmation is the same write, sent to the new address.
    EXPECT_EQ(confirmation[0], address) << a;
    EXPECT_TRUE(std::equal(broadcast.begin() + 1, broadcast.begin() + 6, confirmation.begin() + 1))
        << a;
    EXPECT_EQ(Bytes(FrameOf(StepOf(StepId::kQueryAddress), address)),
              Hex("00 03 00 12 00 01 25 DE"))
        << a;
  }
}

TEST(Accepts, TheConfirmationsEchoAndTheAddressThatNamesItselfTwice) {
  const auto confirmation5 = Frame("05 06 00 12 00 05 E8 48");
  const auto addressQuery = Frame("00 03 00 12 00 01 25 DE");
  const struct {
    StepId step;
    RequestFrame request;
    const char* reply;
    bool accepted;
  } cases[] = {
      {StepId::kConfirmAddress, confirmation5, "05 06 00 12 00 05 E8 48", true},
      // Another value written back: the detector did not take this address.
      {StepId::kConfirmAddress, confirmation5, "05 06 00 12 00 06 A8 49", false},
      {StepId::kConfirmAddress, confirmation5, "05 06 00 12 00", false},
      {StepId::kQueryAddress, addressQuery, "05 03 02 00 05 89 87", true},
      {StepId::kQueryAddress, addressQuery, "C8 03 02 00 C8 65 C2", true},
      {StepId::kQueryAddress, addressQuery, "00 03 02 00 00 85 84", true},
      {StepId::kQueryAddress, addressQuery, "05 03 02 00 06 C9 86", false},
      {StepId::kQueryAddress, addressQuery, "07 03 02 00 05 F0 47", false},
      {StepId::kQueryAddress, addressQuery, "05 03 02 00", false},
      // The reads take any content of the right shape.
      {StepId::kReadResistance, Frame("01 03 00 0D 00 02 55 C8"), "01 03 04 01 59 00 01 EA 1C",
       true},
      {StepId::kQueryVoltage, Frame("05 03 00 0F 00 01 B5 8D"), "05 03 02 00 DC 48 1D", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Accepts(StepOf(c.step), c.request, Hex(c.reply)), c.accepted) << c.reply;
  }
}

TEST(Clocks, TheirTimesPinnedAtTheTickTheyActOn) {
  const struct {
    Clock clock;
    milliseconds interval;
    int limit;
    std::optional<Operation> timesOut;
    milliseconds actsAfter;  // interval x (limit + 1)
  } clocks[] = {
      {Clock::kSetDelay, milliseconds(100), 2, std::nullopt, milliseconds(300)},
      {Clock::kMeasureDelay, milliseconds(1000), 18, std::nullopt, milliseconds(19000)},
      {Clock::kSetTimeout, milliseconds(100), 12, Operation::kSetAddress, milliseconds(1300)},
      {Clock::kAddressTimeout, milliseconds(100), 12, Operation::kQueryAddress, milliseconds(1300)},
      {Clock::kResistanceTimeout, milliseconds(100), 12, Operation::kQueryResistance,
       milliseconds(1300)},
      {Clock::kVoltageTimeout, milliseconds(100), 12, Operation::kQueryVoltage, milliseconds(1300)},
  };
  EXPECT_EQ(kClocks.size(), 6U);
  testing::Bench bench;
  for (const auto& c : clocks) {
    const ClockTiming& timing = ClockOf(c.clock);
    const int id = static_cast<int>(c.clock);
    EXPECT_EQ(timing.clock, c.clock) << id;
    EXPECT_EQ(timing.interval, c.interval) << id;
    EXPECT_EQ(timing.limit, c.limit) << id;
    EXPECT_EQ(timing.timesOut, c.timesOut) << id;

    // A countdown so made acts on tick limit + 1, not on tick limit.
    Countdown countdown(timing.interval, timing.limit);
    int runOuts = 0;
    countdown.SetOnRunOut([&] { ++runOuts; });
    countdown.Start();
    for (int tick = 1; tick <= timing.limit; ++tick) countdown.Tick();
    EXPECT_EQ(runOuts, 0) << id;
    EXPECT_EQ(countdown.Count(), c.limit) << id;
    countdown.Tick();
    EXPECT_EQ(runOuts, 1) << id;
    EXPECT_EQ(countdown.Interval() * (countdown.Count() + 1), c.actsAfter) << id;
    EXPECT_TRUE(countdown.IsPrecise()) << id;

    // The operations' own countdown: the same times, of the precise kind (a count of ticks is a
    // promised time: no timer may drift by the coarse kind's 5 per cent), idle at start.
    const Countdown& own = bench.ops.CountdownOf(c.clock);
    EXPECT_EQ(own.Interval(), c.interval) << id;
    EXPECT_EQ(own.Limit(), c.limit) << id;
    EXPECT_TRUE(own.IsPrecise()) << id;
    EXPECT_FALSE(own.IsRunning()) << id;
  }
  EXPECT_THROW(ClockOf(static_cast<Clock>(42)), std::out_of_range);
}

TEST(Countdown, NeverCountsPastItsLimitAndStartsOnlyOnce) {
  Countdown countdown(milliseconds(100), 2);
  int runOuts = 0;
  int ticks = 0;
  countdown.SetOnRunOut([&] { ++runOuts; });
  countdown.SetOnTick([&] { ++ticks; });
  countdown.Start();
  EXPECT_TRUE(countdown.IsRunning());
  countdown.Tick();
  countdown.Start();  // a second start leaves the count as it was
  EXPECT_EQ(countdown.Count(), 1);
  for (int i = 0; i < 10; ++i) {
    countdown.Tick();
    EXPECT_LE(countdown.Count(), 2);
  }
  EXPECT_EQ(runOuts, 9);  // every tick after the limit acts until someone stops it
  EXPECT_EQ(ticks, 11);
  countdown.Stop();
  EXPECT_FALSE(countdown.IsRunning());
  EXPECT_EQ(countdown.Count(), 0);
  // A stopped countdown neither counts nor acts.
  for (int i = 0; i < 5; ++i) countdown.Tick();
  EXPECT_EQ(countdown.Count(), 0);
  EXPECT_EQ(runOuts, 9);
}

}  // namespace
}  // namespace karvello
