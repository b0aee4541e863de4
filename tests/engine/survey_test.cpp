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

class SurveyTest : public ::testing::Test {
 protected:
  SurveyTest() : bus_(line_, {At(3, 345, 1, 220), At(7, 1200, 2, 12), At(200, 8, 0, 0)}) {
    line_.Open(1);
    survey_.SetOnRow([this](const SurveyRow& row) { rows_.push_back(row); });
    survey_.SetOnFinished([this](SurveyEnd end) { end_ = end; });
  }
  bool RunToEnd() {
    return bus_.Run(engine_, survey_, [this] { return end_.has_value(); });
  }
  std::vector<std::uint8_t> RowAddresses() const {
    std::vector<std::uint8_t> addresses;
    for (const SurveyRow& row : rows_) addresses.push_back(row.address);
    return addresses;
  }

  FakeSerialLine line_;
  testing::InMemoryBus bus_;
  Engine engine_{line_};
  Survey survey_{engine_};
  std::vector<SurveyRow> rows_;
  std::optional<SurveyEnd> end_;
};

// Replies that are not a detector answering as itself: shown for what they are, never found.
struct OddReply {
  const char* name;
  Fault fault;
  Result result;
};

class SurveyOddReplies : public ::testing::TestWithParam<OddReply> {};

TEST_P(SurveyOddReplies, AreRowsOfTheirAddressButNoDetector) {
  const OddReply& c = GetParam();
  FakeSerialLine line;
  line.Open(1);
  testing::InMemoryBus bus(line, {At(3, 345, 1, 220), At(50, 1, 0, 1)});
  bus.Detector(1).SetFault(c.fault);
  // Stray bytes in front of the detector's own replies change nothing.
  bus.Detector(0).SetFault(Fault::Stray({0xA5}));
  Engine engine(line);
  Survey survey(engine);
  std::vector<SurveyRow> rows;
  std::optional<SurveyEnd> end;
  survey.SetOnRow([&](const SurveyRow& row) { rows.push_back(row); });
  survey.SetOnFinished([&](SurveyEnd e) { end = e; });
  ASSERT_TRUE(survey.Scan({.from = 1, .to = 60, .wait = 100ms}));
  ASSERT_TRUE(bus.Run(engine, survey, [&] { return end.has_value(); }));
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_TRUE(rows[0].found);
  EXPECT_EQ(rows[0].reading->value, (Reading{.number = 220}));
  EXPECT_EQ(rows[1].address, 50);
  EXPECT_FALSE(rows[1].found);
  EXPECT_EQ(rows[1].addressRead.result, c.result);
  EXPECT_FALSE(rows[1].reading.has_value());  // no voltage asked of what is no detector
  EXPECT_EQ(line.Written().size(), 60U + 1U);
}

INSTANTIATE_TEST_SUITE_P(Table, SurveyOddReplies,
                         ::testing::Values(OddReply{"Corrupt", Fault::BadCrc(), Result::kCorrupt},
                                           OddReply{"Refused", Fault::Exception(0x02),
                                                    Result::kRefused}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two detectors set to one address, or a register that no longer matches: the register names
// another address, and the address is no detector's.
TEST(SurveyOtherAddress, ARegisterNamingAnotherAddressIsShownButNotFound) {
  FakeSerialLine line;
  line.Open(1);
  Engine engine(line);
  Survey survey(engine);
  std::vector<SurveyRow> rows;
  survey.SetOnRow([&](const SurveyRow& row) { rows.push_back(row); });
  ASSERT_TRUE(survey.Scan({.from = 50, .to = 50, .wait = 100ms}));
  const Bytes reply = testing::WithCrc({50, 0x03, 0x02, 0x00, 51});
  line.Receive(reply);
  line.FallSilent();
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_FALSE(rows[0].found);
  EXPECT_EQ(rows[0].addressRead.result, Result::kAnswered);
  EXPECT_EQ(rows[0].addressRead.value, (Reading{.number = 51}));
  EXPECT_EQ(line.Written().size(), 1U) << "no voltage asked";
}

// On a line that gives every request back, and with replies in pieces, the scan finds what it
// would find on a clean line.
TEST_F(SurveyTest, AnEchoingLineAndSplitRepliesChangeNothingOfAScan) {
  bus_.SetEcho(true);
  bus_.Detector(0).SetFault(Fault::Split({2, 4}, 10ms));
  ASSERT_TRUE(survey_.Scan({.from = 1, .to = 8, .wait = 100ms}));
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(RowAddresses(), (std::vector<std::uint8_t>{3, 7}));
  EXPECT_TRUE(rows_[0].found && rows_[1].found);
  EXPECT_EQ(rows_[0].reading->value, (Reading{.number = 220}));
  EXPECT_EQ(rows_[1].reading->value, (Reading{.number = 12}));
}

TEST_F(SurveyTest, AllAtOnceReadsOnlyTheDetectorsThatStarted) {
  bus_.Detector(1).SetFault(Fault::NoReply(), 1);  // 7 misses its start
  ASSERT_TRUE(survey_.Measure({3, 7, 200}, true));
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(RowAddresses(), (std::vector<std::uint8_t>{7, 3, 200}));
  EXPECT_EQ(rows_[0].reading->result, Result::kNoReply);
  EXPECT_EQ(rows_[0].reading->operation, Operation::kStartMeasurement);
  EXPECT_EQ(Heads(line_.Written()),
            (std::vector<std::string>{"3:6:17", "7:6:17", "200:6:17", "3:3:13", "200:3:13"}));
}

TEST_F(SurveyTest, StopDuringAMeasurementsWaitEndsTheRunAtOnceWithoutItsRead) {
  for (const bool allAtOnce : {false, true}) {
    SCOPED_TRACE(allAtOnce);
    end_.reset();
    line_.ForgetCalls();
    ASSERT_TRUE(survey_.Measure({3, 7}, allAtOnce));
    bus_.Deliver();  // the starts' echoes, where awaited
    bus_.Deliver();
    if (allAtOnce) bus_.Deliver();
    survey_.Stop();
    EXPECT_EQ(end_, SurveyEnd::kStopped);
    EXPECT_FALSE(survey_.Running());
    // The measurement stopped is no longer in flight: nothing waits on its delay.
    EXPECT_FALSE(engine_.InFlight(Operation::kQueryResistance));
    const std::size_t sent = line_.Written().size();
    // Nothing that still runs sends the read.
    while (testing::InMemoryBus::ExpireOne(engine_, survey_)) bus_.Deliver();
    EXPECT_EQ(line_.Written().size(), sent);
    for (const Bytes& frame : line_.Written()) EXPECT_EQ(frame[1], 6) << "only starts went out";
  }
}

TEST_F(SurveyTest, RefusesAListWithTheBroadcastAddressOrNone) {
  EXPECT_FALSE(survey_.Measure({3, 0}, false));
  EXPECT_FALSE(survey_.Measure({}, true));
  EXPECT_FALSE(survey_.ReadVoltages({0}));
  EXPECT_TRUE(line_.Written().empty());
  EXPECT_TRUE(survey_.ReadVoltages({200}));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(rows_.at(0).reading->value, (Reading{.number = 0}));
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
  FakeSerialLine line;
  line.Open(1);
  Engine engine(line);
  Survey survey(engine);
  EXPECT_EQ(survey.Scan(settings), c.error == ScanSettingsError::kNone);
  EXPECT_EQ(line.Written().empty(), c.error != ScanSettingsError::kNone);
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
