// The watch with detectors that stop answering: one pulled for 20 rounds set aside and read
// again once back while the others keep their grid, its no-answer alarm raised and cleared, a
// lost line's alarm without setting anything aside, and the rounds left out said.

#include <gtest/gtest.h>

#include <QTimer>
#include <map>
#include <string>
#include <vector>

#include "detector_bus.h"
#include "gateway/site_state.h"
#include "gateway/watch.h"
#include "record/record_format.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/fake_serial_line.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;
using testing::RunUntil;

using Bus = DetectorBus;

// The watch's rows as the record keeps them: written out and read back.
class RecordText {
 public:
  void Add(RecordRow row) { text_ += CsvLine(row); }
  std::vector<RecordRow> Rows() const { return ParseRecord(text_); }

 private:
  std::string text_;
};

// Three detectors read every 1.5 s for 26 rounds; the one at 3 pulled from round 2 to round 21
// and put back for round 22. Set aside after 3 failures (round 4), it is read at rounds 6, 10,
// 14 and 18 (the gap 2, then 4 at most), answers at 22 and is read every round after.
TEST(WatchDead, SetsAsideAPulledDetectorWhileTheOthersKeepTheirGrid) {
  constexpr long long kRounds = 26;
  constexpr auto kEvery = 1500ms;
  Bus bus({1, 2, 3});
  Engine engine(bus.Line());
  // A failed reading and the guard after it (0.3 s each) fit the period with the others'.
  engine.SetReplyWait(300ms);
  SiteState site("site1");
  WatchPlan plan;
  plan.addresses = {1, 2, 3};
  plan.operations = {Operation::kQueryVoltage};
  plan.every = kEvery;
  plan.rounds = kRounds;
  plan.deadAfter = 3;
  plan.deadRetry = 4;
  Watch watch(plan, engine, bus.Line(), &site);
  RecordText record;
  long long round = -1;
  std::vector<long long> roundsOf3;
  bool asideMidway = false;
  watch.SetOnReading([&](const Outcome& outcome, int address, const QDateTime& when) {
    record.Add(RowOf(outcome, "/dev/ttyUSB0", when));
    if (address == 1) {
      ++round;
      bus.Detector(2).SetPresent(round < 2 || round >= 22);
      if (round == 12) {
        const DetectorState d = site.Snapshot().detectors.at(3);
        asideMidway = d.asideSince.has_value() && d.noAnswer;
      }
    }
    if (address == 3) roundsOf3.push_back(round);
  });
  std::vector<std::pair<long long, bool>> alarms;  // round, raised
  watch.SetOnAlarm([&](const AlarmChange& change) {
    EXPECT_EQ(change.kind, AlarmKind::kNoAnswer);
    EXPECT_EQ(change.address, 3);
    alarms.emplace_back(round, change.raised);
    record.Add(RowOf(change, "/dev/ttyUSB0"));
  });
  std::vector<std::pair<long long, bool>> asides;  // round, set aside
  watch.SetOnSetAside([&](int address, bool aside, const QDateTime& when) {
    EXPECT_EQ(address, 3);
    asides.emplace_back(round, aside);
    record.Add(SetAsideRow(address, aside, "/dev/ttyUSB0", when));
  });
  long long leftOut = 0;
  watch.SetOnRoundsLeftOut([&](long long count) { leftOut += count; });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, kEvery * (kRounds + 4)));

  EXPECT_EQ(roundsOf3, (std::vector<long long>{0, 1, 2, 3, 4, 6, 10, 14, 18, 22, 23, 24, 25}));
  EXPECT_EQ(bus.Requests(3), 13);  // a round that sets it aside sends it nothing
  EXPECT_EQ(alarms, (std::vector<std::pair<long long, bool>>{{4, true}, {22, false}}));
  EXPECT_EQ(asides, (std::vector<std::pair<long long, bool>>{{4, true}, {22, false}}));
  EXPECT_TRUE(asideMidway);
  EXPECT_EQ(leftOut, 0);
  const DetectorState after = site.Snapshot().detectors.at(3);
  EXPECT_FALSE(after.asideSince.has_value());
  EXPECT_FALSE(after.noAnswer);

  // From the record: 1 and 2 read in every round on the grid (each due at the first's time plus
  // whole periods), and 3's set-aside and alarm rows, told apart from its readings.
  std::map<int, std::vector<qint64>> times;
  std::vector<std::string> rowsOf3;
  for (const RecordRow& row : record.Rows()) {
    if (row.kind == RecordRow::Kind::kOutcome && row.address != 3) {
      EXPECT_EQ(row.result, Result::kAnswered);
      times[row.address].push_back(row.time.toMSecsSinceEpoch());
    } else if (row.kind != RecordRow::Kind::kOutcome) {
      rowsOf3.push_back(std::string(OperationText(row)) + " " + std::string(ResultText(row)));
    }
  }
  EXPECT_EQ(rowsOf3, (std::vector<std::string>{"no-answer raised", "set-aside begun",
                                               "no-answer cleared", "set-aside ended"}));
  for (const int address : {1, 2}) {
    ASSERT_EQ(times[address].size(), static_cast<std::size_t>(kRounds)) << address;
    const qint64 first = times[1].front();
    for (long long r = 0; r < kRounds; ++r) {
      const qint64 late = times[address][r] - (first + r * kEvery.count());
      EXPECT_GE(late, -20) << address << " round " << r;
      EXPECT_LT(late, 600) << address << " round " << r;
    }
  }
}

// A lost line fails every reading: each address's no-answer alarm is raised after the plan's
// failures in a row and cleared by its first answer, and nothing is set aside, each address
// read in every round.
TEST(WatchDead, ALostLineRaisesTheNoAnswerAlarmOfEachAddressButSetsNoneAside) {
  Bus bus({1, 2});
  Engine engine(bus.Line());
  SiteState site("site1");
  WatchPlan plan;
  plan.addresses = {1, 2};
  plan.operations = {Operation::kQueryVoltage};
  plan.every = 10ms;
  plan.rounds = 6;
  plan.deadAfter = 2;
  plan.deadRetry = 64;
  Watch watch(plan, engine, bus.Line(), &site);
  std::vector<Result> results;
  watch.SetOnReading([&](const Outcome& outcome, int, const QDateTime&) {
    results.push_back(outcome.result);
    if (results.size() == 2) QTimer::singleShot(0, [&] { bus.Line().Pull(); });
  });
  int tries = 0;
  watch.SetReopen([&] {
    // The line back at the 7th try: rounds 1 to 3 lost, 6 readings.
    if (++tries < 7) return false;
    bus.Line().SetAvailable({1});
    return bus.Line().Open(1);
  });
  std::vector<std::string> alarms;
  std::vector<bool> standing;
  watch.SetOnAlarm([&](const AlarmChange& change) {
    EXPECT_EQ(change.kind, AlarmKind::kNoAnswer);
    alarms.push_back(std::to_string(change.address) + (change.raised ? " raised" : " cleared"));
    standing.push_back(site.Snapshot().detectors.at(change.address).noAnswer);
  });
  int asides = 0;
  watch.SetOnSetAside([&](int, bool, const QDateTime&) { ++asides; });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  EXPECT_EQ(results.size(), 12u);
  EXPECT_EQ(alarms, (std::vector<std::string>{"1 raised", "2 raised", "1 cleared", "2 cleared"}));
  EXPECT_EQ(standing, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(asides, 0);
}

// Detectors set aside are read when due only if their time-outs fit before the next round: two
// silent ones due together are read a round apart, and after the first round (before they were
// set aside) no round is left out.
TEST(WatchDead, PutsOffASilentDetectorThatWouldPushTheNextRoundOut) {
  Bus bus({1, 4, 5});
  bus.Detector(1).SetPresent(false);
  bus.Detector(2).SetPresent(false);
  Engine engine(bus.Line());
  // A failed reading and the guard after it take 1.4 s: one fits the period of 2 s, two do not.
  engine.SetReplyWait(700ms);
  WatchPlan plan;
  plan.addresses = {1, 4, 5};
  plan.operations = {Operation::kQueryVoltage};
  plan.every = 2000ms;
  plan.rounds = 8;
  plan.deadAfter = 1;
  plan.deadRetry = 64;
  Watch watch(plan, engine, bus.Line());
  long long round = -1;
  std::map<int, std::vector<long long>> read;
  watch.SetOnReading([&](const Outcome&, int address, const QDateTime&) {
    if (address == 1) ++round;
    read[address].push_back(round);
  });
  std::vector<long long> leftOut;  // the rounds run before each
  watch.SetOnRoundsLeftOut([&](long long) { leftOut.push_back(round); });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 30s));
  EXPECT_EQ(read[1], (std::vector<long long>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(read[4], (std::vector<long long>{0, 2, 6}));
  EXPECT_EQ(read[5], (std::vector<long long>{0, 3, 7}));
  EXPECT_EQ(leftOut, (std::vector<long long>{0}));
}

// A no-answer alarm that stood when the watch last ran stands at its start, and the detector's
// first answer clears it (so that the retained alarm does not stay raised after a restart).
TEST(WatchDead, ANoAnswerAlarmFromTheRecordStandsUntilTheFirstAnswer) {
  Bus bus({1, 2});
  Engine engine(bus.Line());
  SiteState site("site1");
  WatchPlan plan;
  plan.addresses = {1, 2};
  plan.operations = {Operation::kQueryVoltage};
  plan.every = 10ms;
  plan.rounds = 2;
  plan.silentAtStart = {2};
  Watch watch(plan, engine, bus.Line(), &site);
  EXPECT_TRUE(site.Snapshot().detectors.at(2).noAnswer);
  EXPECT_FALSE(site.Snapshot().detectors.at(1).noAnswer);
  std::vector<std::string> alarms;
  watch.SetOnAlarm([&](const AlarmChange& change) {
    EXPECT_EQ(change.kind, AlarmKind::kNoAnswer);
    alarms.push_back(std::to_string(change.address) + (change.raised ? " raised" : " cleared"));
  });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  EXPECT_EQ(alarms, std::vector<std::string>{"2 cleared"});
  EXPECT_FALSE(site.Snapshot().detectors.at(2).noAnswer);
}

// A refusal is an answer: a detector that refuses every reading is never set aside nor alarmed.
TEST(WatchDead, ARefusalIsAnAnswer) {
  Bus bus({1});
  bus.Detector(0).SetFault(sim::Fault::Exception());
  Engine engine(bus.Line());
  WatchPlan plan;
  plan.addresses = {1};
  plan.operations = {Operation::kQueryVoltage};
  plan.every = 10ms;
  plan.rounds = 4;
  plan.deadAfter = 1;
  Watch watch(plan, engine, bus.Line());
  int readings = 0;
  watch.SetOnReading([&](const Outcome& outcome, int, const QDateTime&) {
    EXPECT_EQ(outcome.result, Result::kRefused);
    ++readings;
  });
  int changes = 0;
  watch.SetOnAlarm([&](const AlarmChange&) { ++changes; });
  watch.SetOnSetAside([&](int, bool, const QDateTime&) { ++changes; });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 5s));
  EXPECT_EQ(readings, 4);
  EXPECT_EQ(changes, 0);
}

// A round that runs past the next ones' times leaves them out, and says how many: a silent
// detector's 1.3 s with rounds every 0.5 s leaves two out after the first round.
TEST(WatchDead, SaysTheRoundsLeftOut) {
  Bus bus({1});
  bus.Detector(0).SetPresent(false);
  Engine engine(bus.Line());
  WatchPlan plan;
  plan.addresses = {1};
  plan.operations = {Operation::kQueryVoltage};
  plan.every = 500ms;
  plan.rounds = 2;
  plan.deadAfter = 1000;
  Watch watch(plan, engine, bus.Line());
  std::vector<long long> leftOut;
  watch.SetOnRoundsLeftOut([&](long long count) { leftOut.push_back(count); });
  bool finished = false;
  watch.SetOnFinished([&] { finished = true; });
  watch.Start();
  ASSERT_TRUE(RunUntil([&] { return finished; }, 10s));
  EXPECT_EQ(leftOut, (std::vector<long long>{2}));
}

// The longest round: each operation's waits in full at every address, the reply's as the engine
// is set, and after each time-out on a line of RTU frames its guard (none over Modbus TCP).
TEST(WatchDead, TheLongestRoundAddsEachOperationsWaitsAndGuards) {
  FakeSerialLine rtu;
  FakeSerialLine mbap;
  mbap.UseModbusTcp();
  Engine overRtu(rtu);
  Engine overMbap(mbap);
  WatchPlan plan;
  plan.addresses = {1, 2};
  plan.operations = {Operation::kQueryResistance};
  EXPECT_EQ(LongestRound(plan, overMbap), 2 * (kMeasurementTime + kReplyTimeout));
  EXPECT_EQ(LongestRound(plan, overMbap), 40600ms);
  EXPECT_EQ(LongestRound(plan, overRtu), 2 * (kMeasurementTime + 2 * kReplyTimeout));
  plan.addresses = {1, 2, 3};
  plan.operations = {Operation::kQueryVoltage, Operation::kQueryResistance};
  EXPECT_EQ(LongestRound(plan, overMbap), 3 * 21600ms);
  EXPECT_EQ(LongestRound(plan, overRtu), 3 * 24200ms);
  // A longer reply wait, and its guard at most 2 s.
  overRtu.SetReplyWait(5000ms);
  overMbap.SetReplyWait(5000ms);
  plan.operations = {Operation::kQueryVoltage};
  EXPECT_EQ(LongestRound(plan, overMbap), 3 * 5000ms);
  EXPECT_EQ(LongestRound(plan, overRtu), 3 * 7000ms);
  // Every detector answering: the measurements' delays alone.
  EXPECT_EQ(ShortestRound(plan), 0ms);
  plan.operations = {Operation::kQueryVoltage, Operation::kQueryResistance};
  EXPECT_EQ(ShortestRound(plan), 3 * kMeasurementTime);
  EXPECT_EQ(ShortestRound(plan), 57000ms);
}

}  // namespace
}  // namespace karvello::gateway
