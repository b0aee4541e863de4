// The gateway's watch over an in-memory line and simulated detectors: its counted rounds, the
// resistance limit's alarm raised and cleared, a lost line ridden out and told once per loss, a
// stop that waits for the reading in flight, and the site's state it feeds.

#include <gtest/gtest.h>

#include <QTimer>
#include <string>
#include <vector>

#include "detector_bus.h"
#include "gateway/site_state.h"
#include "gateway/watch.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/fake_serial_line.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;
using testing::RunUntil;

// Detectors at 1 and 2.
class Bench : public DetectorBus {
 public:
  Bench() : DetectorBus({1, 2}) {}
};

struct Seen {
  int address;
  Operation operation;
  Result result;
  std::string value;
};

TEST(Watch, CountedRoundsReadEachAddressInOrderAndFeedTheState) {
  Bench bench;
  Engine engine(bench.Line());
  SiteState site("site1");
  Watch watch({.addresses = {1, 2},
               .operations = {Operation::kQueryVoltage},
               .every = 20ms,
               .rounds = 3,
               .limit = {},
               .raisedAtStart = {}},
              engine, bench.Line(), &site);
  std::vector<Seen> readings;
  watch.SetOnReading([&](const Outcome& outcome, int address, const QDateTime&) {
    readings.push_back({address, outcome.operation, outcome.result, ValueField(outcome)});
  });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  ASSERT_EQ(readings.size(), 6u);
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const int address = i % 2 == 0 ? 1 : 2;
    EXPECT_EQ(readings[i].address, address) << i;
    EXPECT_EQ(readings[i].result, Result::kAnswered) << i;
    EXPECT_EQ(readings[i].value, std::to_string(220 + address)) << i;
  }
  EXPECT_EQ(watch.RoundsDone(), 3);
  EXPECT_TRUE(watch.Answered());
  EXPECT_TRUE(watch.Failures().empty());
  const SiteSnapshot state = site.Snapshot();
  ASSERT_NE(state.Find(2, Quantity::kVoltage), nullptr);
  EXPECT_EQ(state.Find(2, Quantity::kVoltage)->answered, 3u);
  EXPECT_EQ(state.Find(2, Quantity::kVoltage)->goodValue, (karvello::Reading{222, 0, false}));
}

// Each round starts a measurement and reads it: 15.00, 25.00, 25.00, 25.00, 5.00, 5.00 against
// 20 Ω after 2 in a row, the alarm raised at the third reading and cleared at the sixth.
TEST(Watch, RaisesAndClearsTheLimitsAlarmByItsRule) {
  Bench bench;
  Engine engine(bench.Line());
  SiteState site("site1");
  WatchPlan plan;
  plan.addresses = {1};
  plan.operations = {Operation::kStartMeasurement, Operation::kReadResistance};
  plan.every = 10ms;
  plan.rounds = 6;
  plan.limit = AlarmLimit{20, 2};
  Watch watch(plan, engine, bench.Line(), &site);
  const std::uint16_t series[] = {1500, 2500, 2500, 2500, 500, 500};
  int round = 0;
  std::vector<std::pair<int, bool>> changes;  // reading's round, raised
  std::vector<bool> standing;
  watch.SetOnReading([&](const Outcome& outcome, int, const QDateTime&) {
    if (outcome.operation != Operation::kReadResistance) return;
    ASSERT_EQ(outcome.result, Result::kAnswered);
    ++round;
    if (round < 6) bench.Detector(0).SetResistance(series[round], 2);
  });
  watch.SetOnAlarm([&](const AlarmChange& change) {
    changes.emplace_back(round, change.raised);
    EXPECT_EQ(change.limit, 20);
    standing.push_back(site.Snapshot().detectors.at(1).alarm);
  });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  EXPECT_EQ(changes, (std::vector<std::pair<int, bool>>{{3, true}, {6, false}}));
  EXPECT_EQ(standing, (std::vector<bool>{true, false}));
}

// The line pulled twice: each loss told once and each return once, every reading while it is
// gone a line-lost one, the state's line lost meanwhile.
TEST(Watch, RidesOutALostLineTellingEachLossAndReturnOnce) {
  Bench bench;
  Engine engine(bench.Line());
  SiteState site("site1");
  Watch watch({.addresses = {1},
               .operations = {Operation::kQueryVoltage},
               .every = 10ms,
               .rounds = 9,
               .limit = {},
               .raisedAtStart = {}},
              engine, bench.Line(), &site);
  std::vector<std::string> told;
  std::vector<Result> results;
  int reopenTries = 0;
  watch.SetOnReading([&](const Outcome& outcome, int, const QDateTime&) {
    results.push_back(outcome.result);
    // The device goes between two readings.
    if (results.size() == 2 || results.size() == 6) {
      QTimer::singleShot(0, [&] { bench.Line().Pull(); });
    }
  });
  watch.SetOnLineLost([&] {
    told.push_back("lost");
    EXPECT_FALSE(site.Snapshot().line.open);
  });
  watch.SetOnLineBack([&] { told.push_back("back"); });
  watch.SetReopen([&] {
    // Back at the second try after each loss.
    if (++reopenTries % 2 != 0) return false;
    bench.Line().SetAvailable({1});
    return bench.Line().Open(1);
  });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  EXPECT_EQ(told, (std::vector<std::string>{"lost", "back", "lost", "back"}));
  const std::vector<Result> expected = {Result::kAnswered, Result::kAnswered, Result::kLineLost,
                                        Result::kAnswered, Result::kAnswered, Result::kAnswered,
                                        Result::kLineLost, Result::kAnswered, Result::kAnswered};
  EXPECT_EQ(results, expected);
  EXPECT_EQ(watch.Failures(), (std::set<Result>{Result::kLineLost}));
  EXPECT_TRUE(site.Snapshot().line.open);
}

// A stop while a reading is in flight ends the watch after that reading, not before.
TEST(Watch, StopWaitsForTheReadingInFlight) {
  Bench bench;
  Engine engine(bench.Line());
  Watch watch({.addresses = {1, 2},
               .operations = {Operation::kQueryVoltage},
               .every = 10ms,
               .rounds = 0,
               .limit = {},
               .raisedAtStart = {}},
              engine, bench.Line());
  int readings = 0;
  watch.SetOnReading([&](const Outcome&, int, const QDateTime&) { ++readings; });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  bench.SetOnWrite([&] {
    if (readings == 3) watch.Stop();  // the fourth request is going out: its reading comes first
  });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  EXPECT_EQ(readings, 4);
  EXPECT_TRUE(watch.Answered());
  EXPECT_EQ(watch.RoundsDone(), 1);
}

}  // namespace
}  // namespace karvello::gateway
