// The site's state as a front end reads it: what each reading leaves of a detector's quantity,
// when a change is told, and a copy read from another thread while readings go on.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gateway/site_state.h"

namespace karvello::gateway {
namespace {

const QDateTime kStart = QDateTime::fromString("2026-12-07T18:00:00.000+08:00", Qt::ISODateWithMs);

Outcome Made(Operation operation, Result result, std::optional<Reading> value = std::nullopt) {
  return {.operation = operation, .sent = {}, .reply = {}, .result = result, .value = value};
}

struct Step {
  Operation operation;
  Result result;
  std::optional<Reading> value;
};

struct StateCase {
  const char* name;
  std::vector<Step> steps;  // one a minute, at address 4
  Quantity quantity;
  // Of that quantity after the steps:
  Result lastResult;
  std::optional<Reading> lastValue;
  std::optional<Reading> goodValue;
  int goodMinute;  // -1: none
  std::uint64_t answered;
  std::uint64_t failed;
  std::uint32_t failuresInRow;
};

class SiteStateReadings : public ::testing::TestWithParam<StateCase> {};

TEST_P(SiteStateReadings, LeaveTheLastAndTheLastGood) {
  const StateCase& c = GetParam();
  SiteState state("site1");
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    state.Take(Made(step.operation, step.result, step.value), 4,
               kStart.addSecs(60 * static_cast<int>(i)));
  }
  const SiteSnapshot snapshot = state.Snapshot();
  const QuantityState* q = snapshot.Find(4, c.quantity);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->lastResult, c.lastResult);
  EXPECT_EQ(q->lastValue, c.lastValue);
  EXPECT_EQ(q->goodValue, c.goodValue);
  EXPECT_EQ(q->goodTime, c.goodMinute < 0 ? std::optional<QDateTime>()
                                          : std::optional(kStart.addSecs(60 * c.goodMinute)));
  EXPECT_EQ(q->answered, c.answered);
  EXPECT_EQ(q->failed, c.failed);
  EXPECT_EQ(q->failuresInRow, c.failuresInRow);
}

constexpr Reading kOhms{3450, 2, false};
constexpr Reading kOver{0, 0, true};
constexpr Reading kVolts{220, 0, false};

INSTANTIATE_TEST_SUITE_P(
    Cases, SiteStateReadings,
    ::testing::Values(
        StateCase{"OneGood",
                  {{Operation::kQueryResistance, Result::kAnswered, kOhms}},
                  Quantity::kResistance, Result::kAnswered, kOhms, kOhms, 0, 1, 0, 0},
        StateCase{"FailuresKeepTheLastGood",
                  {{Operation::kQueryResistance, Result::kAnswered, kOhms},
                   {Operation::kQueryResistance, Result::kNoReply, {}},
                   {Operation::kReadResistance, Result::kCorrupt, {}}},
                  Quantity::kResistance, Result::kCorrupt, std::nullopt, kOhms, 0, 1, 2, 2},
        StateCase{"AnAnswerEndsTheRun",
                  {{Operation::kQueryVoltage, Result::kNoReply, {}},
                   {Operation::kQueryVoltage, Result::kLineLost, {}},
                   {Operation::kQueryVoltage, Result::kAnswered, kVolts}},
                  Quantity::kVoltage, Result::kAnswered, kVolts, kVolts, 2, 1, 2, 0},
        StateCase{"OverRangeIsAnAnswer",
                  {{Operation::kReadResistance, Result::kAnswered, kOver}},
                  Quantity::kResistance, Result::kAnswered, kOver, kOver, 0, 1, 0, 0},
        StateCase{"QuantitiesApart",
                  {{Operation::kQueryVoltage, Result::kAnswered, kVolts},
                   {Operation::kQueryResistance, Result::kRefused, {}}},
                  Quantity::kVoltage, Result::kAnswered, kVolts, kVolts, 0, 1, 0, 0},
        StateCase{"NeverAnswered",
                  {{Operation::kQueryResistance, Result::kNoReply, {}}},
                  Quantity::kResistance, Result::kNoReply, std::nullopt, std::nullopt, -1, 0, 1,
                  1}),
    [](const auto& info) { return std::string(info.param.name); });

// The detector's own run of failures counts its readings of both quantities in turn: an answer
// of either ends it.
TEST(SiteState, CountsTheDetectorsFailuresInARowAcrossItsQuantities) {
  SiteState state("site1");
  const struct {
    Operation operation;
    Result result;
    std::uint32_t run;
  } steps[] = {
      {Operation::kQueryVoltage, Result::kNoReply, 1},
      {Operation::kQueryResistance, Result::kRefused, 2},
      {Operation::kQueryVoltage, Result::kLineLost, 3},
      {Operation::kStartMeasurement, Result::kNoReply, 3},  // no reading of the site
      {Operation::kQueryVoltage, Result::kAnswered, 0},
      {Operation::kQueryResistance, Result::kCorrupt, 1},
  };
  for (const auto& step : steps) {
    state.Take(Made(step.operation, step.result,
                    step.result == Result::kAnswered ? std::optional(kVolts) : std::nullopt),
               4, kStart);
    EXPECT_EQ(state.Snapshot().detectors.at(4).failuresInRow, step.run);
  }
}

TEST(SiteState, TellsOfAChangeOnlyWhenThereIsOne) {
  SiteState state("site1");
  QSignalSpy changed(&state, &SiteState::Changed);
  state.Expect(4);
  state.Expect(4);
  EXPECT_EQ(changed.count(), 1);
  state.Take(Made(Operation::kReadAddress, Result::kAnswered, Reading{4}), 4, kStart);
  state.Take(Made(Operation::kStartMeasurement, Result::kAnswered), 4, kStart);
  EXPECT_EQ(changed.count(), 1) << "an address or a start is no reading of the site";
  state.SetAlarm(4, true);
  state.SetAlarm(4, true);
  EXPECT_EQ(changed.count(), 2);
  state.SetLine({"/dev/ttyUSB0", true, {}});
  state.SetLine({"/dev/ttyUSB0", true, {}});
  state.SetLine({"/dev/ttyUSB0", false, kStart});
  EXPECT_EQ(changed.count(), 4);
  state.SetBroker({true, true, 3, 0});
  state.SetRecord({"/tmp/record.csv", true, 1});
  EXPECT_EQ(changed.count(), 6);

  const SiteSnapshot snapshot = state.Snapshot();
  EXPECT_EQ(snapshot.AlarmsRaised(), 1);
  EXPECT_EQ(snapshot.line.lostSince, kStart);
  EXPECT_EQ(snapshot.broker.queued, 3u);
  EXPECT_TRUE(snapshot.record.failing);
  EXPECT_EQ(snapshot.Find(5, Quantity::kVoltage), nullptr);
  EXPECT_EQ(snapshot.Find(4, Quantity::kAddress), nullptr);
  ASSERT_NE(snapshot.Find(4, Quantity::kVoltage), nullptr);
  EXPECT_FALSE(snapshot.Find(4, Quantity::kVoltage)->lastTime);
}

// A reader on another thread takes copies while readings go on: each copy is whole (its counts
// add up), and the last one holds every reading.
TEST(SiteState, CopiesAreWholeWhileReadingsGoOn) {
  SiteState state("site1");
  constexpr int kReadings = 20000;
  std::atomic<bool> done = false;
  std::atomic<int> torn = 0;
  std::thread reader([&] {
    while (!done) {
      const SiteSnapshot copy = state.Snapshot();
      const QuantityState* q = copy.Find(4, Quantity::kVoltage);
      if (q && q->answered != q->failed && q->answered != q->failed + 1) ++torn;
    }
  });
  for (int i = 0; i < kReadings; ++i) {
    const bool good = i % 2 == 0;
    state.Take(Made(Operation::kQueryVoltage, good ? Result::kAnswered : Result::kNoReply,
                    good ? std::optional(kVolts) : std::nullopt),
               4, kStart);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(state.Snapshot().Find(4, Quantity::kVoltage)->answered, kReadings / 2u);
}

}  // namespace
}  // namespace karvello::gateway
