// The gateway's watch over an in-memory line and simulated detectors: its counted rounds, the
// resistance limit's alarm raised and cleared, a lost line ridden out and told once per loss, a
// stop that waits for the reading in flight, and the site's state it feeds. With detectors that
// stop answering: one pulled for 20 rounds set aside and read again once back while the others
// keep their grid, its no-answer alarm raised and cleared, a lost line's alarm without setting
// anything aside, and the rounds left out said.

#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "gateway/site_state.h"
#include "gateway/watch.h"
#include "record/record_format.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/fake_serial_line.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;

// Simulated detectors answering on an in-memory line a moment after each request, as a real line
// does: each detector at address A reads 220 + A volts and 15.00 Ω, and measures at once; the
// requests sent to each address are counted.
class DetectorBus {
 public:
  explicit DetectorBus(const std::vector<std::uint8_t>& addresses) {
    for (std::uint8_t address : addresses) {
      sim::DetectorConfig config;
      config.address = address;
      config.voltage = 220 + address;
      config.resistance = 1500;
      config.decimalCount = 2;
      config.measurementTime = std::chrono::milliseconds(0);
      detectors_.push_back(std::make_unique<sim::SimulatedDetector>(config));
    }
    line_.Open(1);
    line_.SetOnWritten([this](std::span<const std::uint8_t> frame) {
      if (!frame.empty()) ++requests_[frame[0]];
      if (onWrite_) onWrite_();
      std::vector<std::uint8_t> reply;
      for (auto& detector : detectors_) {
        for (const sim::Piece& piece : detector->Respond(frame)) {
          reply.insert(reply.end(), piece.bytes.begin(), piece.bytes.end());
        }
      }
      if (reply.empty()) return;
      QTimer::singleShot(1, [this, reply] {
        line_.Receive(reply);
        line_.FallSilent();
      });
    });
  }

  FakeSerialLine& Line() { return line_; }
  Engine& Reader() { return engine_; }
  sim::SimulatedDetector& Detector(std::size_t index) { return *detectors_.at(index); }
  // Called as each request goes out, before the detectors answer it.
  void SetOnWrite(std::function<void()> handler) { onWrite_ = std::move(handler); }
  int Requests(std::uint8_t address) const {
    const auto found = requests_.find(address);
    return found == requests_.end() ? 0 : found->second;
  }

 private:
  FakeSerialLine line_;
  Engine engine_{line_};
  std::vector<std::unique_ptr<sim::SimulatedDetector>> detectors_;
  std::map<std::uint8_t, int> requests_;
  std::function<void()> onWrite_;
};

// A plan of `rounds` rounds every `every`, each reading `addresses` for `operations`.
WatchPlan Plan(std::vector<std::uint8_t> addresses, std::vector<Operation> operations,
               std::chrono::milliseconds every, long long rounds) {
  WatchPlan plan;
  plan.addresses = std::move(addresses);
  plan.operations = std::move(operations);
  plan.every = every;
  plan.rounds = rounds;
  return plan;
}

// Starts `watch` and runs the event loop until it has finished; false if not within `timeout`.
bool RunToEnd(Watch& watch, std::chrono::milliseconds timeout) {
  const auto finished = std::make_shared<bool>(false);
  watch.SetOnFinished([finished] { *finished = true; });
  watch.Start();
  return testing::RunUntil([finished] { return *finished; }, timeout);
}

struct Seen {
  int address;
  Operation operation;
  Result result;
  std::string value;
};

TEST(Watch, CountedRoundsReadEachAddressInOrderAndFeedTheState) {
  DetectorBus bench({1, 2});
  SiteState site("site1");
  Watch watch(Plan({1, 2}, {Operation::kQueryVoltage}, 20ms, 3), bench.Reader(), bench.Line(),
              &site);
  std::vector<Seen> readings;
  watch.SetOnReading([&](const Outcome& outcome, int address, const QDateTime&) {
    readings.push_back({address, outcome.operation, outcome.result, ValueField(outcome)});
  });
  ASSERT_TRUE(RunToEnd(watch, 5s));
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
  DetectorBus bench({1, 2});
  SiteState site("site1");
  WatchPlan plan = Plan({1}, {Operation::kStartMeasurement, Operation::kReadResistance}, 10ms, 6);
  plan.limit = AlarmLimit{20, 2};
  Watch watch(plan, bench.Reader(), bench.Line(), &site);
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
  ASSERT_TRUE(RunToEnd(watch, 5s));
  EXPECT_EQ(changes, (std::vector<std::pair<int, bool>>{{3, true}, {6, false}}));
  EXPECT_EQ(standing, (std::vector<bool>{true, false}));
}

// A stop while a reading is in flight ends the watch after that reading, not before.
TEST(Watch, StopWaitsForTheReadingInFlight) {
  DetectorBus bench({1, 2});
  Watch watch(Plan({1, 2}, {Operation::kQueryVoltage}, 10ms, 0), bench.Reader(), bench.Line());
  int readings = 0;
  watch.SetOnReading([&](const Outcome&, int, const QDateTime&) { ++readings; });
  bench.SetOnWrite([&] {
    if (readings == 3) watch.Stop();  // the fourth request is going out: its reading comes first
  });
  ASSERT_TRUE(RunToEnd(watch, 5s));
  EXPECT_EQ(readings, 4);
  EXPECT_TRUE(watch.Answered());
  EXPECT_EQ(watch.RoundsDone(), 1);
}

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
  DetectorBus bus({1, 2, 3});
  // A failed reading and the guard after it (0.3 s each) fit the period with the others'.
  bus.Reader().SetReplyWait(300ms);
  SiteState site("site1");
  WatchPlan plan = Plan({1, 2, 3}, {Operation::kQueryVoltage}, kEvery, kRounds);
  plan.deadAfter = 3;
  plan.deadRetry = 4;
  Watch watch(plan, bus.Reader(), bus.Line(), &site);
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
  ASSERT_TRUE(RunToEnd(watch, kEvery * (kRounds + 4)));

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

// A lost line fails every reading, the state's line lost meanwhile: pulled twice, each loss told
// once and each return once. Each address's no-answer alarm is raised after the plan's failures
// in a row and cleared by its first answer, and nothing is set aside, each address read in every
// round.
TEST(WatchDead, ALostLineIsToldOnceAndRaisesEachNoAnswerAlarmButSetsNoneAside) {
  DetectorBus bus({1, 2});
  SiteState site("site1");
  WatchPlan plan = Plan({1, 2}, {Operation::kQueryVoltage}, 10ms, 6);
  plan.deadAfter = 2;
  plan.deadRetry = 64;
  Watch watch(plan, bus.Reader(), bus.Line(), &site);
  std::vector<Result> results;
  watch.SetOnReading([&](const Outcome& outcome, int, const QDateTime&) {
    results.push_back(outcome.result);
    // The device goes between two rounds.
    if (results.size() == 2 || results.size() == 10) {
      QTimer::singleShot(0, [&] { bus.Line().Pull(); });
    }
  });
  int tries = 0;
  watch.SetReopen([&] {
    // Back at the 7th try (rounds 1 to 3 lost, 6 readings), then at the 9th (one reading lost).
    if (++tries < 7 || tries == 8) return false;
    bus.Line().SetAvailable({1});
    return bus.Line().Open(1);
  });
  std::vector<std::string> told;
  watch.SetOnLineLost([&] {
    told.push_back("lost");
    EXPECT_FALSE(site.Snapshot().line.open);
  });
  watch.SetOnLineBack([&] { told.push_back("back"); });
  std::vector<std::string> alarms;
  std::vector<bool> standing;
  watch.SetOnAlarm([&](const AlarmChange& change) {
    EXPECT_EQ(change.kind, AlarmKind::kNoAnswer);
    alarms.push_back(std::to_string(change.address) + (change.raised ? " raised" : " cleared"));
    standing.push_back(site.Snapshot().detectors.at(change.address).noAnswer);
  });
  int asides = 0;
  watch.SetOnSetAside([&](int, bool, const QDateTime&) { ++asides; });
  ASSERT_TRUE(RunToEnd(watch, 5s));
  constexpr Result kAnswer = Result::kAnswered;
  constexpr Result kLost = Result::kLineLost;
  EXPECT_EQ(results, (std::vector<Result>{kAnswer, kAnswer, kLost, kLost, kLost, kLost, kLost,
                                          kLost, kAnswer, kAnswer, kLost, kAnswer}));
  EXPECT_EQ(told, (std::vector<std::string>{"lost", "back", "lost", "back"}));
  EXPECT_EQ(watch.Failures(), (std::set<Result>{Result::kLineLost}));
  EXPECT_TRUE(site.Snapshot().line.open);
  EXPECT_EQ(alarms, (std::vector<std::string>{"1 raised", "2 raised", "1 cleared", "2 cleared"}));
  EXPECT_EQ(standing, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(asides, 0);
}

// Detectors set aside are read when due only if their time-outs fit before the next round: two
// silent ones due together are read a round apart, and after the first round (before they were
// set aside) no round is left out.
TEST(WatchDead, PutsOffASilentDetectorThatWouldPushTheNextRoundOut) {
  DetectorBus bus({1, 4, 5});
  bus.Detector(1).SetPresent(false);
  bus.Detector(2).SetPresent(false);
  // A failed reading and the guard after it take 1.4 s: one fits the period of 2 s, two do not.
  bus.Reader().SetReplyWait(700ms);
  WatchPlan plan = Plan({1, 4, 5}, {Operation::kQueryVoltage}, 2000ms, 8);
  plan.deadAfter = 1;
  plan.deadRetry = 64;
  Watch watch(plan, bus.Reader(), bus.Line());
  long long round = -1;
  std::map<int, std::vector<long long>> read;
  watch.SetOnReading([&](const Outcome&, int address, const QDateTime&) {
    if (address == 1) ++round;
    read[address].push_back(round);
  });
  std::vector<long long> leftOut;  // the rounds run before each
  watch.SetOnRoundsLeftOut([&](long long) { leftOut.push_back(round); });
  ASSERT_TRUE(RunToEnd(watch, 30s));
  EXPECT_EQ(read[1], (std::vector<long long>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(read[4], (std::vector<long long>{0, 2, 6}));
  EXPECT_EQ(read[5], (std::vector<long long>{0, 3, 7}));
  EXPECT_EQ(leftOut, (std::vector<long long>{0}));
}

// A no-answer alarm that stood when the watch last ran stands at its start, and the detector's
// first answer clears it (so that the retained alarm does not stay raised after a restart).
TEST(WatchDead, ANoAnswerAlarmFromTheRecordStandsUntilTheFirstAnswer) {
  DetectorBus bus({1, 2});
  SiteState site("site1");
  WatchPlan plan = Plan({1, 2}, {Operation::kQueryVoltage}, 10ms, 2);
  plan.silentAtStart = {2};
  Watch watch(plan, bus.Reader(), bus.Line(), &site);
  EXPECT_TRUE(site.Snapshot().detectors.at(2).noAnswer);
  EXPECT_FALSE(site.Snapshot().detectors.at(1).noAnswer);
  std::vector<std::string> alarms;
  watch.SetOnAlarm([&](const AlarmChange& change) {
    EXPECT_EQ(change.kind, AlarmKind::kNoAnswer);
    alarms.push_back(std::to_string(change.address) + (change.raised ? " raised" : " cleared"));
  });
  ASSERT_TRUE(RunToEnd(watch, 5s));
  EXPECT_EQ(alarms, std::vector<std::string>{"2 cleared"});
  EXPECT_FALSE(site.Snapshot().detectors.at(2).noAnswer);
}

// A refusal is an answer: a detector that refuses every reading is never set aside nor alarmed.
TEST(WatchDead, ARefusalIsAnAnswer) {
  DetectorBus bus({1});
  bus.Detector(0).SetFault(sim::Fault::Exception());
  WatchPlan plan = Plan({1}, {Operation::kQueryVoltage}, 10ms, 4);
  plan.deadAfter = 1;
  Watch watch(plan, bus.Reader(), bus.Line());
  int readings = 0;
  watch.SetOnReading([&](const Outcome& outcome, int, const QDateTime&) {
    EXPECT_EQ(outcome.result, Result::kRefused);
    ++readings;
  });
  int changes = 0;
  watch.SetOnAlarm([&](const AlarmChange&) { ++changes; });
  watch.SetOnSetAside([&](int, bool, const QDateTime&) { ++changes; });
  ASSERT_TRUE(RunToEnd(watch, 5s));
  EXPECT_EQ(readings, 4);
  EXPECT_EQ(changes, 0);
}

// A round that runs past the next ones' times leaves them out, and says how many: a silent
// detector's 1.3 s with rounds every 0.5 s leaves two out after the first round.
TEST(WatchDead, SaysTheRoundsLeftOut) {
  DetectorBus bus({1});
  bus.Detector(0).SetPresent(false);
  WatchPlan plan = Plan({1}, {Operation::kQueryVoltage}, 500ms, 2);
  plan.deadAfter = 1000;
  Watch watch(plan, bus.Reader(), bus.Line());
  std::vector<long long> leftOut;
  watch.SetOnRoundsLeftOut([&](long long count) { leftOut.push_back(count); });
  ASSERT_TRUE(RunToEnd(watch, 10s));
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
  WatchPlan plan = Plan({1, 2}, {Operation::kQueryResistance}, 60s, 0);
  // Each address's measurement (19 s) and reply wait (1.3 s), and over RTU the guard after it.
  EXPECT_EQ(LongestRound(plan, overMbap), 40600ms);
  EXPECT_EQ(LongestRound(plan, overRtu), 43200ms);
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
  EXPECT_EQ(ShortestRound(plan), 57000ms);
}

}  // namespace
}  // namespace karvello::gateway
