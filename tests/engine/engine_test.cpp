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
using Strings = std::vector<std::string>;

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
  // Each outcome as "voltage@5 answered 220", " again" when its operation had ended before.
  std::vector<std::string> Told() const {
    std::vector<std::string> told;
    for (const Outcome& o : outcomes) {
      told.push_back(std::string(Describe(o.operation).name) + "@" + std::to_string(o.address) +
                     " " + std::string(ResultName(o.result)) +
                     (o.value ? " " + ValueField(o) : "") + (o.again ? " again" : ""));
    }
    return told;
  }
  std::string Sent(std::size_t i) const {
    return FormatFrameText(line.Written().at(i), line.Written().at(i).size());
  }
  std::string LastSent() const { return Sent(line.Written().size() - 1); }

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
  ASSERT_EQ(desk.Told(), Strings{"query-address@0 wrong-reply"});
  // The voltage query is not locked out: it still ends, by its own time-out.
  EXPECT_EQ(desk.engine.PhaseOf(Operation::kQueryVoltage), Phase::kAwaiting);
  desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
  EXPECT_EQ(desk.Told(), (Strings{"query-address@0 wrong-reply", "voltage@5 no-reply"}));
}

TEST(Engine, ASecondPressSendsAgainWithoutRestartingItsTimeOut) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kQueryVoltage, 6});
  EXPECT_EQ(desk.line.Written().size(), 2U);
  EXPECT_EQ(desk.LastSent(), "06 03 00 0F 00 01 B5 BE");
  desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
  // One time-out for both presses: the second did not start another.
  EXPECT_EQ(desk.Told(), Strings{"voltage@6 no-reply"});
  EXPECT_FALSE(desk.engine.TimeoutOf(Operation::kQueryVoltage).IsRunning());
}

TEST(Engine, ARequestWithoutAValidAddressSendsNothingAndLeavesTheOthersRunning) {
  Desk desk;
  desk.engine.Start({Operation::kQueryResistance, 5});
  desk.line.ForgetCalls();
  desk.engine.Start({Operation::kQueryResistance, std::nullopt});
  desk.engine.Start({Operation::kSetAddress, 0});
  EXPECT_TRUE(desk.line.Written().empty());
  // The measurement under way goes on to read the detector its press addressed.
  EXPECT_EQ(desk.engine.PhaseOf(Operation::kQueryResistance), Phase::kDelaying);
  desk.engine.RunOut(Operation::kQueryResistance, Engine::Wait::kDelay);
  EXPECT_EQ(desk.LastSent(), "05 03 00 0D 00 02 54 4C");
  desk.Receive("05 03 04 01 59 00 01 AF DC");
  EXPECT_EQ(desk.Told(), (Strings{"resistance@0 not-sent", "set-address@0 not-sent",
                                  "resistance@5 answered 34.5"}));
}

TEST(Engine, AfterARefusedRequestNoReplyIsJudgedUntilTheNextRequest) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kSetAddress, std::nullopt});
  desk.Receive(kVoltageReply5);
  EXPECT_EQ(desk.Told(), Strings{"set-address@0 not-sent"});
}

TEST(Engine, AfterItsEndOnlyAWholeCopyOfTheReplyCountsAgain) {
  Desk desk;
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
  desk.Receive("05 83 04 01 32");  // a refusal after the time-out: noise
  desk.Receive("FF FF FF FF");     // so are bytes that cannot be the reply
  desk.Receive(kVoltageReply5);    // a late reply replaces the failure
  desk.Receive(kVoltageReply5);    // and another copy shows again
  EXPECT_EQ(desk.Told(), (Strings{"voltage@5 no-reply", "voltage@5 answered 220 again",
                                  "voltage@5 answered 220 again"}));
}

// Bytes that cannot be the reply are judged only from the length of the reply's head: fewer
// are noise, and the time-out runs on.
TEST(Engine, StrayBytesAreNoiseBelowTheReplysHeadAndAFailureFromIt) {
  const std::pair<Request, std::size_t> cases[] = {{{Operation::kSetAddress, 5}, 6},
                                                   {{Operation::kQueryAddress, 0}, 5},
                                                   {{Operation::kQueryResistance, 5}, 3},
                                                   {{Operation::kQueryVoltage, 5}, 3}};
  for (const auto& [request, judgedFrom] : cases) {
    for (std::size_t length : {judgedFrom - 1, judgedFrom}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(request.operation)) + ": " +
                   std::to_string(length));
      Desk desk;
      desk.engine.Start(request);
      desk.engine.RunOut(request.operation, Engine::Wait::kDelay);
      desk.line.Receive(std::vector<std::uint8_t>(length, 0xA5));
      desk.line.FallSilent();
      const bool judged = length == judgedFrom;
      EXPECT_EQ(desk.outcomes.size(), judged ? 1U : 0U);
      if (judged) {
        EXPECT_EQ(desk.outcomes.at(0).result, Result::kCorrupt);
      }
      EXPECT_EQ(desk.engine.TimeoutOf(request.operation).IsRunning(), !judged);
    }
  }
}

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
  EXPECT_EQ(desk.Told(), (Strings{"query-address@0 answered 5", "set-address@9 answered 9"}));
  EXPECT_EQ(desk.outcomes[1].sent.size(), 2U);
}

TEST(Engine, AConfirmationEchoedWithAnotherAddressIsAWrongReply) {
  Desk desk;
  desk.engine.Start({Operation::kSetAddress, 9});
  desk.engine.RunOut(Operation::kSetAddress, Engine::Wait::kDelay);
  desk.Receive("09 06 00 12 00 08 29 41");
  EXPECT_EQ(desk.Told(), Strings{"set-address@9 wrong-reply"});
}

TEST(Engine, ALostLineEndsEveryOperationInFlightTheLastSentLast) {
  Desk desk;
  desk.engine.Start({Operation::kQueryResistance, 5});
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.engine.Start({Operation::kQueryAddress, 0});
  desk.Receive(kAddressReply5);  // answered: no longer in flight
  desk.engine.Start({Operation::kQueryVoltage, 5});
  desk.line.Pull();
  EXPECT_EQ(desk.Told(), (Strings{"query-address@0 answered 5", "resistance@5 line-lost",
                                  "voltage@5 line-lost"}));
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
  EXPECT_EQ(desk.Told(), (Strings{"set-address@5 no-reply", "query-address@0 no-reply",
                                  "resistance@5 no-reply", "voltage@5 no-reply"}));
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

// After a time-out on a line of RTU frames the next request waits out a guard as long as the wait
// that ran out (at most 2 s; a tenth of a request's own wait, the scan's), and a late reply that
// comes meanwhile is set aside, told and recorded as `again`, never taken for the next request's
// answer. Modbus TCP, whose replies name their transaction, needs no guard.
TEST(Engine, AfterATimeOutTheNextRequestWaitsOutAGuardOnALineWithoutTransactions) {
  struct Case {
    const char* name;
    bool modbusTcp;
    std::optional<std::chrono::milliseconds> replyWait;  // the engine's
    std::optional<std::chrono::milliseconds> wait;       // the request's own
    std::chrono::milliseconds timeout;
    std::optional<std::chrono::milliseconds> guard;  // none: the next request goes at once
  };
  const Case cases[] = {
      {"the detector's wait", false, std::nullopt, std::nullopt, 1300ms, 1300ms},
      {"a slow link's", false, 2000ms, std::nullopt, 2000ms, 2000ms},
      {"past the longest guard", false, 2001ms, std::nullopt, 2001ms, 2000ms},
      {"the longest", false, 10000ms, std::nullopt, 10000ms, 2000ms},
      {"the scan's own", false, 10000ms, 100ms, 100ms, 10ms},
      {"the scan's longest own", false, std::nullopt, 1300ms, 1300ms, 130ms},
      {"Modbus TCP", true, std::nullopt, std::nullopt, 1300ms, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Desk desk;
    if (c.modbusTcp) desk.line.UseModbusTcp();
    std::vector<LateReply> late;
    desk.engine.SetOnLate([&](const LateReply& reply) { late.push_back(reply); });
    desk.engine.SetReplyWait(c.replyWait);
    desk.engine.Start({Operation::kQueryVoltage, 5, c.wait});
    EXPECT_EQ(desk.engine.TimeoutOf(Operation::kQueryVoltage).Duration(), c.timeout);
    desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
    ASSERT_EQ(desk.Told(), Strings{"voltage@5 no-reply"});
    EXPECT_EQ(desk.engine.Guard().IsRunning(), c.guard.has_value());
    // The same operation at another address, and another operation.
    desk.engine.Start({Operation::kQueryVoltage, 6});
    desk.engine.Start({Operation::kReadAddress, 5});
    if (!c.guard) {
      EXPECT_EQ(desk.line.Written().size(), 3U);
      continue;
    }
    EXPECT_EQ(desk.engine.Guard().Duration(), *c.guard);
    // Held, and in flight meanwhile.
    EXPECT_EQ(desk.line.Written().size(), 1U);
    EXPECT_TRUE(desk.engine.InFlight(Operation::kReadAddress));
    EXPECT_TRUE(desk.engine.InFlight(Operation::kQueryVoltage));
    desk.Receive(kVoltageReply5);  // the voltage's late reply
    desk.Receive(kVoltageReply5);  // told once
    EXPECT_EQ(desk.Told(), (Strings{"voltage@5 no-reply", "voltage@5 answered 220 again",
                                    "voltage@5 answered 220 again"}));
    ASSERT_EQ(late.size(), 1U);
    EXPECT_EQ(late[0].address, 5);
    EXPECT_EQ(late[0].wait, c.timeout);
    EXPECT_EQ(late[0].count, 1U);
    EXPECT_EQ(desk.engine.LateReplies(), 1U);
    desk.engine.RunOutGuard();
    ASSERT_EQ(desk.line.Written().size(), 3U);
    EXPECT_EQ(desk.Sent(1), "06 03 00 0F 00 01 B5 BE");
    EXPECT_EQ(desk.LastSent(), "05 03 00 12 00 01 25 8B");
    // Now what comes answers the request sent last.
    desk.Receive(kAddressReply5);
    EXPECT_EQ(desk.Told().back(), "read-address@5 answered 5");
    EXPECT_EQ(desk.outcomes.size(), 4U);
    EXPECT_TRUE(desk.engine.InFlight(Operation::kQueryVoltage));  // until its own time-out
    EXPECT_EQ(late.size(), 1U);
  }
}

// A request held by the guard ends with a lost line, or is cancelled, without ever going out.
TEST(Engine, ARequestHeldByTheGuardEndsWithTheLineOrIsCancelled) {
  for (const bool pulled : {true, false}) {
    SCOPED_TRACE(pulled ? "pulled" : "cancelled");
    Desk desk;
    desk.engine.Start({Operation::kQueryVoltage, 4});
    desk.engine.RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
    desk.engine.Start({Operation::kReadAddress, 5});
    if (pulled) {
      desk.line.Pull();
      EXPECT_EQ(desk.Told(), (Strings{"voltage@4 no-reply", "read-address@5 line-lost"}));
      EXPECT_TRUE(desk.outcomes[1].sent.empty());
    } else {
      desk.engine.Cancel(Operation::kReadAddress);
    }
    EXPECT_FALSE(desk.engine.InFlight(Operation::kReadAddress));
    desk.engine.RunOutGuard();
    EXPECT_EQ(desk.line.Written().size(), 1U);
  }
}

// A gateway's exception for the device behind it (path unavailable, 0x0A; target device failed
// to respond, 0x0B) is no reply, its bytes kept; any other exception is the detector's refusal.
TEST(Engine, AGatewaysWordThatNoDetectorAnsweredIsNoReply) {
  struct Case {
    Operation operation;
    const char* reply;
    Result result;
  };
  const Case cases[] = {
      {Operation::kQueryVoltage, "05 83 0A 80 F6", Result::kNoReply},
      {Operation::kQueryVoltage, "05 83 0B 41 36", Result::kNoReply},
      {Operation::kQueryVoltage, "05 83 02 81 30", Result::kRefused},
      {Operation::kQueryVoltage, "05 83 0C 00 F4", Result::kRefused},
      // The start of a measurement, which awaits no reply but ends on its refusal.
      {Operation::kQueryResistance, "05 86 0B 42 66", Result::kNoReply},
      {Operation::kQueryResistance, "05 86 02 82 60", Result::kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Desk desk;
    desk.engine.Start({c.operation, 5});
    desk.Receive(c.reply);
    ASSERT_EQ(desk.outcomes.size(), 1U);
    EXPECT_EQ(desk.outcomes[0].result, c.result);
    EXPECT_EQ(FormatFrameText(desk.outcomes[0].reply, desk.outcomes[0].reply.size()), c.reply);
    EXPECT_FALSE(desk.engine.InFlight(c.operation));
    // Answered at once: no guard holds the next request.
    EXPECT_FALSE(desk.engine.Guard().IsRunning());
  }
}

}  // namespace
}  // namespace karvello
