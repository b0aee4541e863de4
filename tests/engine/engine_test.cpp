// The engine on an in-memory line, where the test plays the detector byte by byte and runs the
// deadlines out by hand: which request a reply is judged against, what a second press, a
// refused request, a late reply and a lost line do, and the times the engine keeps.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "framing/frame_text.h"
#include "support/fake_serial_line.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using testing::Hex;

struct Desk {
  Desk() {
    line.Open(1);
    engine.SetOnOutcome([this](const Outcome& outcome) { outcomes.push_back(outcome); });
    engine.SetOnProgress([this](const Progress& progress) { progress_.push_back(progress); });
  }
  void Receive(const std::string& hex) {
    line.Receive(Hex(hex));
    line.FallSilent();
  }
  std::vector<Result> Results() const {
    std::vector<Result> results;
    for (const Outcome& outcome : outcomes) results.push_back(outcome.result);
    return results;
  }
  std::string LastSent() const {
    const auto& frame = line.Written().back();
    return FormatFrameText(frame, frame.size());
  }

  FakeSerialLine line;
  Engine engine{line};
  std::vector<Outcome> outcomes;
  std::vector<Progress> progress_;
};

constexpr const char* kVoltageReply5 = "05 03 02 00 DC 48 1D";
constexpr const char* kAddressReply5 = "05 03 02 00 05 89 87";

TEST(Engine, KeepsItsTimesOnPreciseTimers) {
  Desk desk;
  const Engine& engine = desk.engine;
  EXPECT_EQ(engine.DelayOf(Operation::kSetAddress).Duration(), 300ms);
  EXPECT_EQ(engine.DelayOf(Operation::kQueryResistance).Duration(), 19000ms);
  for (Operation operation : kOperations) {
    EXPECT_EQ(engine.TimeoutOf(operation).Duration(), 1300ms);
    EXPECT_TRUE(engine.TimeoutOf(operation).IsPrecise());
    EXPECT_TRUE(engine.DelayOf(operation).IsPrecise());
  }
}

TEST(Engine, JudgesEveryReplyAgainstTheRequestSentLast) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kQueryAddress, 0});
  // The voltage's reply comes now: it is no answer to the address query (it names 5 and 220).
  desk.Receive(kVoltageReply5);
  ASSERT_EQ(desk.Results(), std::vector{Result::kWrongReply});
  EXPECT_EQ(desk.outcomes[0].operation, Operation::kQueryAddress);
  // The voltage query is not locked out: it still ends, by its own time-out.
  EXPECT_EQ(desk.engine.PhaseOf(Operation::kQueryVoltage), Phase::kAwaiting);
  desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
  EXPECT_EQ(desk.Results(), (std::vector{Result::kWrongReply, Result::kNoReply}));
  EXPECT_EQ(desk.outcomes[1].operation, Operation::kQueryVoltage);
}

TEST(Engine, ASecondPressSendsAgainWithoutRestartingItsTimeOut) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kQueryVoltage, 6});
  EXPECT_EQ(desk.line.Written().size(), 2U);
  EXPECT_EQ(desk.LastSent(), "06 03 00 0F 00 01 B5 BE");
  desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
  // One time-out for both presses: the second did not start another.
  EXPECT_EQ(desk.Results(), std::vector{Result::kNoReply});
  EXPECT_FALSE(desk.engine.TimeoutOf(Operation::kQueryVoltage).IsRunning());
}

TEST(Engine, ARequestWithoutAValidAddressSendsNothingAndLeavesTheOthersRunning) {
  Desk desk;
  desk.engine.Start({Operation::kQueryResistance, 5});
  desk.line.ForgetCalls();
  desk.engine.Start({Operation::kQueryResistance, std::nullopt});
  desk.engine.Start({Operation::kSetAddress, 0});
  EXPECT_EQ(desk.Results(), (std::vector{Result::kNotSent, Result::kNotSent}));
  EXPECT_TRUE(desk.line.Written().empty());
  // The measurement under way goes on to read the detector its press addressed.
  EXPECT_EQ(desk.engine.PhaseOf(Operation::kQueryResistance), Phase::kDelaying);
  desk.engine.RunOut(Operation::kQueryResistance, Engine::Wait::kDelay);
  EXPECT_EQ(desk.LastSent(), "05 03 00 0D 00 02 54 4C");
  desk.Receive("05 03 04 01 59 00 01 AF DC");
  ASSERT_EQ(desk.outcomes.size(), 3U);
  EXPECT_EQ(desk.outcomes[2].result, Result::kAnswered);
  EXPECT_EQ(desk.outcomes[2].value, (Reading{345, 1}));
}

TEST(Engine, AfterARefusedRequestNoReplyIsJudgedUntilTheNextRequest) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kSetAddress, std::nullopt});
  desk.Receive(kVoltageReply5);
  EXPECT_EQ(desk.Results(), std::vector{Result::kNotSent});
}

TEST(Engine, AfterItsEndOnlyAWholeCopyOfTheReplyCountsAgain) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
  desk.Receive("05 83 04 01 32");  // a refusal after the time-out: noise
  desk.Receive("FF FF FF FF");     // so are bytes that cannot be the reply
  desk.Receive(kVoltageReply5);    // a late reply replaces the failure
  desk.Receive(kVoltageReply5);    // and another copy shows again
  ASSERT_EQ(desk.Results(), (std::vector{Result::kNoReply, Result::kAnswered, Result::kAnswered}));
  EXPECT_FALSE(desk.outcomes[0].again);
  EXPECT_TRUE(desk.outcomes[1].again);
  EXPECT_TRUE(desk.outcomes[2].again);
}

// Bytes that cannot be the reply are judged only from the length of the reply's head: fewer
// are noise, and the time-out runs on.
struct StrayCase {
  Request request;
  std::size_t judgedFrom;
};

class StrayBytes : public ::testing::TestWithParam<StrayCase> {};

TEST_P(StrayBytes, AreNoiseBelowTheHeadAndAFailureFromIt) {
  const StrayCase c = GetParam();
  for (std::size_t length : {c.judgedFrom - 1, c.judgedFrom}) {
    Desk desk;
    desk.engine.Start(c.request);
    desk.engine.RunOut(c.request.operation, Engine::Wait::kDelay);
    desk.line.Receive(std::vector<std::uint8_t>(length, 0xA5));
    desk.line.FallSilent();
    if (length < c.judgedFrom) {
      EXPECT_TRUE(desk.outcomes.empty()) << length;
      EXPECT_TRUE(desk.engine.TimeoutOf(c.request.operation).IsRunning()) << length;
    } else {
      EXPECT_EQ(desk.Results(), std::vector{Result::kCorrupt}) << length;
      EXPECT_FALSE(desk.engine.TimeoutOf(c.request.operation).IsRunning()) << length;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EachReply, StrayBytes,
                         ::testing::Values(StrayCase{{Operation::kSetAddress, 5}, 6},
                                           StrayCase{{Operation::kQueryAddress, 0}, 5},
                                           StrayCase{{Operation::kQueryResistance, 5}, 3},
                                           StrayCase{{Operation::kQueryVoltage, 5}, 3}));

TEST(Engine, RepliesDuringADelayAnswerNothingAndTheDelayRunsOn) {
  for (Operation operation : {Operation::kSetAddress, Operation::kQueryResistance}) {
    Desk desk;
    desk.engine.Start({operation, 5});
    desk.Receive(kAddressReply5);
    desk.Receive("05 86 02 C3 A1");
    EXPECT_TRUE(desk.outcomes.empty());
    EXPECT_EQ(desk.engine.PhaseOf(operation), Phase::kDelaying);
  }
}

TEST(Engine, TheConfirmationGoesToTheAddressOfItsPressWhateverCameBetween) {
  Desk desk;
  desk.engine.Start({Operation::kSetAddress, 9});
  desk.engine.Start({Operation::kQueryAddress, 0});
  desk.Receive(kAddressReply5);
  desk.engine.RunOut(Operation::kSetAddress, Engine::Wait::kDelay);
  EXPECT_EQ(desk.LastSent(), "09 06 00 12 00 09 E8 81");
  desk.Receive("09 06 00 12 00 09 E8 81");
  ASSERT_EQ(desk.Results(), (std::vector{Result::kAnswered, Result::kAnswered}));
  EXPECT_EQ(desk.outcomes[1].sent.size(), 2U);
  EXPECT_EQ(desk.outcomes[1].value, Reading{9});
}

TEST(Engine, AConfirmationEchoedWithAnotherAddressIsAWrongReply) {
  Desk desk;
  desk.engine.Start({Operation::kSetAddress, 9});
  desk.engine.RunOut(Operation::kSetAddress, Engine::Wait::kDelay);
  desk.Receive("09 06 00 12 00 08 29 41");
  EXPECT_EQ(desk.Results(), std::vector{Result::kWrongReply});
}

TEST(Engine, ALostLineEndsEveryOperationInFlightTheLastSentLast) {
  Desk desk;
  desk.engine.Start({Operation::kQueryResistance, 5});
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kQueryAddress, 0});
  desk.Receive(kAddressReply5);  // answered: no longer in flight
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.line.Pull();
  ASSERT_EQ(desk.outcomes.size(), 3U);
  EXPECT_EQ(desk.outcomes[1].operation, Operation::kQueryResistance);
  EXPECT_EQ(desk.outcomes[2].operation, Operation::kQueryVoltage);
  EXPECT_EQ(desk.outcomes[1].result, Result::kLineLost);
  EXPECT_EQ(desk.outcomes[2].result, Result::kLineLost);
  for (Operation operation : kOperations) {
    EXPECT_FALSE(desk.engine.DelayOf(operation).IsRunning());
    EXPECT_FALSE(desk.engine.TimeoutOf(operation).IsRunning());
  }
  // With nothing in flight, a loss says nothing.
  Desk idle;
  idle.line.Pull();
  EXPECT_TRUE(idle.outcomes.empty());
}

TEST(Engine, WithoutAPortEveryOperationEndsByItsTimeOut) {
  Desk desk;
  desk.line.Close();
  for (Operation operation : kOperations) {
    desk.engine.Start({operation, 5});
    desk.engine.RunOut(operation, Engine::Wait::kDelay);
    desk.engine.RunOut(operation, Engine::Wait::kTimeout);
  }
  EXPECT_EQ(desk.Results(), std::vector<Result>(4, Result::kNoReply));
}

TEST(Engine, TellsEachRequestSentAndEachSecondOfTheMeasurement) {
  Desk desk;
  desk.engine.Start({Operation::kQueryResistance, 5});
  for (int second = 0; second < 18; ++second) desk.engine.PassSecond(Operation::kQueryResistance);
  const Progress progress = desk.engine.ProgressOf(Operation::kQueryResistance);
  EXPECT_EQ(progress.phase, Phase::kDelaying);
  EXPECT_EQ(progress.elapsed, 18s);
  EXPECT_EQ(progress.delay, 19000ms);
  desk.engine.RunOut(Operation::kQueryResistance, Engine::Wait::kDelay);
  std::vector<std::size_t> sentSteps;
  for (const Progress& p : desk.progress_) {
    if (p.sentStep) sentSteps.push_back(*p.sentStep);
  }
  EXPECT_EQ(sentSteps, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(desk.progress_.size(), 2U + 18U);
  EXPECT_EQ(desk.engine.PhaseOf(Operation::kQueryResistance), Phase::kAwaiting);
}

}  // namespace
}  // namespace karvello
