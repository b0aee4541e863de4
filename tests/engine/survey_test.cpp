// The survey of a bus over the in-memory line, with simulated detectors answering each frame at
// once: what a scan finds and how it shows the replies that are not a detector's, measurements
// one after another and all at once, a stop, a pulled line, and the settings it refuses.

#include "engine/survey.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_detector.h"
#include "support/fake_serial_line.h"
#include "support/hex_bytes.h"
#include "support/in_memory_bus.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using sim::Fault;
using testing::At;

// The slave, function and register of each frame the line took.
std::vector<std::string> Heads(const std::vector<Bytes>& frames) {
  std::vector<std::string> heads;
  for (const Bytes& frame : frames) {
    heads.push_back(std::to_string(frame[0]) + ":" + std::to_string(frame[1]) + ":" +
                    std::to_string(frame[3]));
  }
  return heads;
}

// A survey of simulated detectors on the in-memory line, its rows and its end.
struct Bench {
  explicit Bench(const std::vector<sim::DetectorConfig>& detectors) : bus(line, detectors) {
    line.Open(1);
    survey.SetOnRow([this](const SurveyRow& row) { rows.push_back(row); });
    survey.SetOnFinished([this](SurveyEnd e) { end = e; });
  }
  bool RunToEnd() {
    return bus.Run(engine, survey, [this] { return end.has_value(); });
  }
  std::vector<std::uint8_t> RowAddresses() const {
    std::vector<std::uint8_t> addresses;
    for (const SurveyRow& row : rows) addresses.push_back(row.address);
    return addresses;
  }

  FakeSerialLine line;
  testing::InMemoryBus bus;
  Engine engine{line};
  Survey survey{engine};
  std::vector<SurveyRow> rows;
  std::optional<SurveyEnd> end;
};

class SurveyTest : public ::testing::Test, public Bench {
 protected:
  SurveyTest() : Bench({At(3, 345, 1, 220), At(7, 1200, 2, 12), At(200, 8, 0, 0)}) {}
};

// Replies that are not a detector answering as itself: shown for what they are, never found.
struct OddReply {
  const char* name;
  Fault fault;
  Result result;
};

class SurveyOddReplies : public ::testing::TestWithParam<OddReply> {};

TEST_P(SurveyOddReplies, AreRowsOfTheirAddressButNoDetector) {
  Bench bench({At(3, 345, 1, 220), At(50, 1, 0, 1)});
  bench.bus.Detector(1).SetFault(GetParam().fault);
  // Stray bytes in front of the detector's own replies change nothing.
  bench.bus.Detector(0).SetFault(Fault::Stray({0xA5}));
  ASSERT_TRUE(bench.survey.Scan({.from = 1, .to = 60, .wait = 100ms}));
  ASSERT_TRUE(bench.RunToEnd());
  const std::vector<SurveyRow>& rows = bench.rows;
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_TRUE(rows[0].found);
  EXPECT_EQ(rows[0].reading->value, (Reading{.number = 220}));
  EXPECT_EQ(rows[1].address, 50);
  EXPECT_FALSE(rows[1].found);
  EXPECT_EQ(rows[1].addressRead.result, GetParam().result);
  EXPECT_FALSE(rows[1].reading.has_value());  // no voltage asked of what is no detector
  EXPECT_EQ(bench.line.Written().size(), 60U + 1U);
}

INSTANTIATE_TEST_SUITE_P(Table, SurveyOddReplies,
                         ::testing::Values(OddReply{"Corrupt", Fault::BadCrc(), Result::kCorrupt},
                                           OddReply{"Refused", Fault::Exception(0x02),
                                                    Result::kRefused}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two detectors set to one address, or a register that no longer matches: the register names
// another address, and the address is no detector's.
TEST(SurveyOtherAddress, ARegisterNamingAnotherAddressIsShownButNotFound) {
  Bench bench({});
  ASSERT_TRUE(bench.survey.Scan({.from = 50, .to = 50, .wait = 100ms}));
  bench.line.Receive(testing::WithCrc({50, 0x03, 0x02, 0x00, 51}));
  bench.line.FallSilent();
  ASSERT_EQ(bench.rows.size(), 1U);
  EXPECT_FALSE(bench.rows[0].found);
  EXPECT_EQ(bench.rows[0].addressRead.result, Result::kAnswered);
  EXPECT_EQ(bench.rows[0].addressRead.value, (Reading{.number = 51}));
  EXPECT_EQ(bench.line.Written().size(), 1U) << "no voltage asked";
}

// On a line that gives every request back, and with replies in pieces, the scan finds what it
// would find on a clean line.
TEST_F(SurveyTest, AnEchoingLineAndSplitRepliesChangeNothingOfAScan) {
  bus.SetEcho(true);
  bus.Detector(0).SetFault(Fault::Split({2, 4}, 10ms));
  ASSERT_TRUE(survey.Scan({.from = 1, .to = 8, .wait = 100ms}));
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(RowAddresses(), (std::vector<std::uint8_t>{3, 7}));
  EXPECT_TRUE(rows[0].found && rows[1].found);
  EXPECT_EQ(rows[0].reading->value, (Reading{.number = 220}));
  EXPECT_EQ(rows[1].reading->value, (Reading{.number = 12}));
}

TEST_F(SurveyTest, AllAtOnceReadsOnlyTheDetectorsThatStarted) {
  bus.Detector(1).SetFault(Fault::NoReply(), 1);  // 7 misses its start
  ASSERT_TRUE(survey.Measure({3, 7, 200}, true));
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(RowAddresses(), (std::vector<std::uint8_t>{7, 3, 200}));
  EXPECT_EQ(rows[0].reading->result, Result::kNoReply);
  EXPECT_EQ(rows[0].reading->operation, Operation::kStartMeasurement);
  EXPECT_EQ(Heads(line.Written()),
            (std::vector<std::string>{"3:6:17", "7:6:17", "200:6:17", "3:3:13", "200:3:13"}));
}

TEST_F(SurveyTest, StopDuringAMeasurementsWaitEndsTheRunAtOnceWithoutItsRead) {
  for (const bool allAtOnce : {false, true}) {
    SCOPED_TRACE(allAtOnce);
    end.reset();
    line.ForgetCalls();
    ASSERT_TRUE(survey.Measure({3, 7}, allAtOnce));
    bus.Deliver();  // the starts' echoes, where awaited
    bus.Deliver();
    if (allAtOnce) bus.Deliver();
    survey.Stop();
    EXPECT_EQ(end, SurveyEnd::kStopped);
    EXPECT_FALSE(survey.Running());
    // The measurement stopped is no longer in flight: nothing waits on its delay.
    EXPECT_FALSE(engine.InFlight(Operation::kQueryResistance));
    const std::size_t sent = line.Written().size();
    // Nothing that still runs sends the read.
    while (testing::InMemoryBus::ExpireOne(engine, survey)) bus.Deliver();
    EXPECT_EQ(line.Written().size(), sent);
    for (const Bytes& frame : line.Written()) EXPECT_EQ(frame[1], 6) << "only starts went out";
  }
}

TEST_F(SurveyTest, RefusesAListWithTheBroadcastAddressOrNone) {
  EXPECT_FALSE(survey.Measure({3, 0}, false));
  EXPECT_FALSE(survey.Measure({}, true));
  EXPECT_FALSE(survey.ReadVoltages({0}));
  EXPECT_TRUE(line.Written().empty());
  EXPECT_TRUE(survey.ReadVoltages({200}));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(rows.at(0).reading->value, (Reading{.number = 0}));
}

struct SettingsCase {
  int from;
  int to;
  int waitMs;
  ScanSettingsError error;
};

class ScanSettingsEdges : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(ScanSettingsEdges, AreCheckedBeforeAnythingIsSent) {
  const SettingsCase& c = GetParam();
  const ScanSettings settings{
      .from = c.from, .to = c.to, .wait = std::chrono::milliseconds(c.waitMs)};
  EXPECT_EQ(CheckScanSettings(settings), c.error);
  Bench bench({});
  EXPECT_EQ(bench.survey.Scan(settings), c.error == ScanSettingsError::kNone);
  EXPECT_EQ(bench.line.Written().empty(), c.error != ScanSettingsError::kNone);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanSettingsEdges,
    ::testing::Values(SettingsCase{1, 255, 100, ScanSettingsError::kNone},
                      SettingsCase{0, 255, 100, ScanSettingsError::kAddressOutOfRange},
                      SettingsCase{1, 256, 100, ScanSettingsError::kAddressOutOfRange},
                      SettingsCase{9, 9, 100, ScanSettingsError::kNone},
                      SettingsCase{10, 9, 100, ScanSettingsError::kFromAboveTo},
                      SettingsCase{1, 5, 19, ScanSettingsError::kWaitOutOfRange},
                      SettingsCase{1, 5, 20, ScanSettingsError::kNone},
                      SettingsCase{1, 5, 1300, ScanSettingsError::kNone},
                      SettingsCase{1, 5, 1301, ScanSettingsError::kWaitOutOfRange}));

}  // namespace
}  // namespace karvello
