// The four operations from the request to the outcome, one table of cases run twice: over the
// in-memory line, with the simulated detector answering each frame at once, and over a real
// pseudo-terminal with the same detector serving it on its own thread. The frames and replies
// are written out as literals, worked out by hand from the register map.

#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "framing/frame_text.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/fake_serial_line.h"
#include "support/tcp_servers.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using sim::DetectorConfig;
using sim::Fault;
using sim::Piece;
using sim::SimulatedDetector;
using testing::RunUntil;

std::string Text(std::span<const std::uint8_t> bytes) {
  return FormatFrameText(bytes, bytes.size());
}

// A line with the simulated detector on its other end.
class Rig {
 public:
  explicit Rig(DetectorConfig config) : detector(config) {}
  virtual ~Rig() = default;
  virtual SerialLine& Line() = 0;
  // Lets the line and the detector work until `done` holds; the measurement's 19 s are cut
  // short (the detector measures at once), every other time is waited out or run out.
  virtual bool Run(Engine& engine, const std::function<bool()>& done) = 0;
  SimulatedDetector detector;
};

class InMemoryRig : public Rig {
 public:
  explicit InMemoryRig(DetectorConfig config) : Rig(config) {
    line_.Open(LineAddress::Port(1));
    line_.SetOnWritten([this](std::span<const std::uint8_t> frame) {
      const DetectorConfig config = detector.Config();
      if (config.echo) {
        Bytes echo(frame.begin(), frame.end());
        if (config.strayBeforeEcho) echo.insert(echo.begin(), *config.strayBeforeEcho);
        pending_.push_back({0ns, std::move(echo)});
      }
      for (auto& piece : detector.Respond(frame)) pending_.push_back(std::move(piece));
    });
  }
  SerialLine& Line() override { return line_; }
  bool Run(Engine& engine, const std::function<bool()>& done) override {
    for (int round = 0; round < 8 && !done(); ++round) {
      Deliver();
      if (done()) break;
      // Nothing more comes: the time the engine waits passes.
      for (Operation operation : kOperations) {
        if (engine.DelayOf(operation).IsRunning()) {
          engine.RunOut(operation, Engine::Wait::kDelay);
        } else if (engine.TimeoutOf(operation).IsRunning()) {
          engine.RunOut(operation, Engine::Wait::kTimeout);
        }
      }
    }
    return done();
  }

 private:
  void Deliver() {
    while (!pending_.empty()) {
      const Piece piece = std::move(pending_.front());
      pending_.erase(pending_.begin());
      if (piece.pauseBefore >= kFrameGap) line_.FallSilent();
      line_.Receive(piece.bytes);
    }
    line_.FallSilent();
  }

  FakeSerialLine line_;
  std::vector<Piece> pending_;
};

class PtyRig : public Rig {
 public:
  explicit PtyRig(DetectorConfig config, bool open = true) : Rig(config), line_(map_) {
    map_.Set(1, detector.SlavePath());
    if (open) {
      EXPECT_TRUE(line_.Open(LineAddress::Port(1))) << detector.SlavePath();
    }
  }
  SerialLine& Line() override { return line_; }
  bool Run(Engine& engine, const std::function<bool()>& done) override {
    // The measurement's wait runs out once whatever came for the start has had time to arrive:
    // a refusal of the start must be judged before the read goes out, as it is in the 19 s.
    std::optional<std::chrono::steady_clock::time_point> startAnswered;
    return RunUntil(
        [&] {
          if (!startAnswered && detector.WaitForExchanges(1, 0ms)) {
            startAnswered = std::chrono::steady_clock::now();
          }
          if (engine.PhaseOf(Operation::kQueryResistance) == Phase::kDelaying && startAnswered &&
              std::chrono::steady_clock::now() - *startAnswered > 2 * kFrameGap) {
            engine.RunOut(Operation::kQueryResistance, Engine::Wait::kDelay);
          }
          return done();
        },
        5s);
  }

 protected:
  FixedPortMap map_;
  QtSerialLine line_;
};

#ifdef SOCAT_EXECUTABLE
// The detector's pseudo-terminal behind a transparent serial server, reached over TCP.
class SerialServerRig : public PtyRig {
 public:
  explicit SerialServerRig(DetectorConfig config)
      : PtyRig(config, false), server_(testing::SerialServer(detector.SlavePath())) {
    EXPECT_TRUE(server_->Ready());
    EXPECT_TRUE(
        line_.Open(*ParseLineAddress("rtu+tcp://127.0.0.1:" + std::to_string(server_->Port()))))
        << line_.OpenError();
  }

 private:
  std::unique_ptr<testing::ServerProcess> server_;
};
#endif

enum class LineKind { kInMemory, kPseudoTerminal, kSerialServer };

struct Case {
  const char* name;
  Request request;
  DetectorConfig detector;
  Fault fault;
  Result result;
  std::optional<Reading> value;
  std::vector<const char*> sent;  // the frames of the outcome, as they went out
  const char* reply;              // the bytes judged
  std::size_t outcomes = 1;       // a second whole copy of the reply is a further outcome
};

// The detector at `address`, measuring at once; otherwise as `config` says.
DetectorConfig At(std::uint8_t address, DetectorConfig config = {}) {
  config.address = address;
  config.measurementTime = 0ms;
  return config;
}

constexpr const char* kVoltageReply = "05 03 02 00 DC 48 1D";
constexpr const char* kConfirm9 = "09 06 00 12 00 09 E8 81";
constexpr const char* kAddress5Reply = "05 03 02 00 05 89 87";
constexpr const char* kResistance5Reply = "05 03 04 01 59 00 01 AF DC";
constexpr const char* kStart5 = "05 06 00 11 00 01 19 8B";

// Each operation's request and the frames it sends.
using Frames = std::vector<const char*>;
const Request kSet9{Operation::kSetAddress, 9};
const Request kSetNothing{Operation::kSetAddress, std::nullopt};
const Frames kSet9Sent = {"00 06 00 12 00 09 E8 18", kConfirm9};
const Request kAsk{Operation::kQueryAddress, 0};
const Frames kAskSent = {"00 03 00 12 00 01 25 DE"};
const Request kMeasure5{Operation::kQueryResistance, 5};
const Frames kMeasure5Sent = {kStart5, "05 03 00 0D 00 02 54 4C"};
const Request kVoltage5{Operation::kQueryVoltage, 5};
const Frames kVoltage5Sent = {"05 03 00 0F 00 01 B5 8D"};

using enum Result;
const std::optional<Reading> kNone;
const Fault kNoFault;

const Case kCases[] = {
    {"SetAddress", kSet9, At(1), kNoFault, kAnswered, Reading(9), kSet9Sent, kConfirm9},
    {"SetAddressOnAnEchoingLine", kSet9, At(1, {.echo = true}), kNoFault, kAnswered, Reading(9),
     kSet9Sent, kConfirm9},
    {"SetAddressWithNoDetectorOnAnEchoingLine", kSet9, At(1, {.echo = true, .present = false}),
     kNoFault, kNoReply, kNone, kSet9Sent, ""},
    {"SetAddressEchoingWithAStrayByteBeforeEachCopy", kSet9,
     At(1, {.echo = true, .strayBeforeEcho = 0xFF}), kNoFault, kAnswered, Reading(9), kSet9Sent,
     kConfirm9},
    {"SetAddressNoDetectorEchoingWithStrayBytes", kSet9,
     At(1, {.echo = true, .present = false, .strayBeforeEcho = 0xFF}), kNoFault, kNoReply, kNone,
     kSet9Sent, ""},
    {"SetAddressNotAWholeAddress", kSetNothing, At(1), kNoFault, kNotSent, kNone, Frames(), ""},
    {"QueryAddress", kAsk, At(5), kNoFault, kAnswered, Reading(5), kAskSent, kAddress5Reply},
    {"QueryAddressOnAnEchoingLine", kAsk, At(5, {.echo = true}), kNoFault, kAnswered, Reading(5),
     kAskSent, kAddress5Reply},
    {"QueryAddressCutShortWaitsUntilTheTimeOut", kAsk, At(5), Fault::Truncate(1), kNoReply, kNone,
     kAskSent, ""},
    {"Resistance", kMeasure5, At(5), kNoFault, kAnswered, Reading(345, 1), kMeasure5Sent,
     kResistance5Reply},
    {"ResistanceWithTwoDecimals", kMeasure5, At(5, {.resistance = 1234, .decimalCount = 2}),
     kNoFault, kAnswered, Reading(1234, 2), kMeasure5Sent, "05 03 04 04 D2 00 02 9F 3B"},
    {"ResistanceOverRange", kMeasure5, At(5, {.resistance = 77, .decimalCount = 3}), kNoFault,
     kAnswered, Reading(77, 3, true), kMeasure5Sent, "05 03 04 00 4D 00 03 6F E5"},
    // A refused start ends the measurement at once: no read 19 s later of an older result.
    {"ResistanceStartRefused", kMeasure5, At(5), Fault::Exception(4), kRefused, kNone,
     Frames(1, kStart5), "05 86 04 02 62"},
    // A detector need not echo the start: without the echo the read still follows.
    {"ResistanceStartNotEchoed", kMeasure5, At(5), Fault::NoReply(), kAnswered, Reading(345, 1),
     kMeasure5Sent, kResistance5Reply},
    {"ResistanceWithNoDetector", kMeasure5, At(5, {.present = false}), kNoFault, kNoReply, kNone,
     kMeasure5Sent, ""},
    {"Voltage", kVoltage5, At(5), kNoFault, kAnswered, Reading(220), kVoltage5Sent, kVoltageReply},
    {"VoltageRefused", kVoltage5, At(5), Fault::Exception(4), kRefused, kNone, kVoltage5Sent,
     "05 83 04 01 32"},
    {"VoltageWithAWrongCrc", kVoltage5, At(5), Fault::BadCrc(), kCorrupt, kNone, kVoltage5Sent,
     "05 03 02 00 DC B7 E2"},
    {"VoltageFromAnotherSlave", kVoltage5, At(5), Fault::FromAddress(7), kCorrupt, kNone,
     kVoltage5Sent, "07 03 02 00 DC 31 DD"},
    {"VoltageBehindStrayBytes", kVoltage5, At(5), Fault::Stray({0xFF, 0x05}), kAnswered,
     Reading(220), kVoltage5Sent, kVoltageReply},
    {"VoltagePausedInside", kVoltage5, At(5), Fault::PauseAfter(3, 120ms), kAnswered, Reading(220),
     kVoltage5Sent, kVoltageReply},
    {"VoltageTwice", kVoltage5, At(5), Fault::Twice(60ms), kAnswered, Reading(220), kVoltage5Sent,
     kVoltageReply, 2},
    {"VoltageSilent", kVoltage5, At(5), Fault::NoReply(), kNoReply, kNone, kVoltage5Sent, ""},
};

class Operations : public ::testing::TestWithParam<std::tuple<LineKind, Case>> {};

TEST_P(Operations, EndInTheirOutcome) {
  const auto& [kind, c] = GetParam();
  std::unique_ptr<Rig> rig;
  switch (kind) {
    case LineKind::kInMemory:
      rig = std::make_unique<InMemoryRig>(c.detector);
      break;
    case LineKind::kPseudoTerminal:
      rig = std::make_unique<PtyRig>(c.detector);
      break;
    case LineKind::kSerialServer:
#ifdef SOCAT_EXECUTABLE
      rig = std::make_unique<SerialServerRig>(c.detector);
      break;
#else
      GTEST_SKIP() << "socat is not installed";
#endif
  }
  rig->detector.SetFault(c.fault, 1);
  Engine engine(rig->Line());
  std::vector<Outcome> outcomes;
  engine.SetOnOutcome([&](const Outcome& outcome) { outcomes.push_back(outcome); });

  engine.Start(c.request);
  ASSERT_TRUE(rig->Run(engine, [&] { return outcomes.size() >= c.outcomes; }))
      << outcomes.size() << " outcomes";
  if (kind != LineKind::kInMemory) {
    // Whatever else might come has time to: a doubled outcome would show.
    testing::RunFor(c.result == Result::kNoReply ? 100ms : 250ms);
  }

  ASSERT_EQ(outcomes.size(), c.outcomes);
  const Outcome& outcome = outcomes.front();
  EXPECT_EQ(outcome.operation, c.request.operation);
  EXPECT_EQ(outcome.result, c.result);
  EXPECT_EQ(outcome.value, c.value);
  std::vector<std::string> sent;
  for (const auto& frame : outcome.sent) sent.push_back(Text(frame));
  EXPECT_EQ(sent, std::vector<std::string>(c.sent.begin(), c.sent.end()));
  EXPECT_EQ(Text(outcome.reply), c.reply);
  EXPECT_FALSE(outcome.again);
  if (c.outcomes > 1) {
    EXPECT_TRUE(outcomes.back().again);
    EXPECT_EQ(outcomes.back().reply, outcome.reply);
  }
  // The detector took exactly the frames of the outcome, in order.
  std::vector<std::string> taken;
  for (const auto& exchange : rig->detector.Exchanges()) taken.push_back(Text(exchange.request));
  EXPECT_EQ(taken, sent);
}

#ifdef SOCAT_EXECUTABLE
// Clients one after another, each connecting, reading the voltage and leaving, as karvello-cli
// runs do from a script (all 10 answered, where socat's defaults answered 2 to 4): the README's
// serial server lets go of the device as each client leaves, so every next one gets its own reply.
// (socat's defaults hold the device half a second after a client leaves, and the next one's reply
// goes to the old connection.)
TEST(OperationsOverASerialServer, ClientsBackToBackAreEachAnswered) {
  PtyRig rig(At(5), false);
  const std::unique_ptr<testing::ServerProcess> server =
      testing::SerialServer(rig.detector.SlavePath());
  ASSERT_TRUE(server->Ready()) << server->Output().toStdString();
  const auto address = ParseLineAddress("rtu+tcp://127.0.0.1:" + std::to_string(server->Port()));
  ASSERT_TRUE(address);
  constexpr int kClients = 10;
  int answered = 0;
  for (int client = 0; client < kClients; ++client) {
    FixedPortMap ports;
    QtSerialLine line(ports);
    ASSERT_TRUE(line.Open(*address)) << line.OpenError();
    Engine engine(line);
    std::optional<Outcome> outcome;
    engine.SetOnOutcome([&](const Outcome& o) {
      if (!outcome) outcome = o;
    });
    engine.Start({Operation::kQueryVoltage, 5});
    ASSERT_TRUE(RunUntil([&] { return outcome.has_value(); }, 5s)) << "client " << client;
    if (outcome->result == Result::kAnswered && outcome->value == Reading{220, 0, false})
      ++answered;
    line.Close();
    // The next program's start, as a script runs karvello-cli after karvello-cli.
    testing::RunFor(50ms);
  }
  EXPECT_EQ(answered, kClients);
}
#endif

std::string CaseName(const ::testing::TestParamInfo<std::tuple<LineKind, Case>>& info) {
  const auto& [kind, c] = info.param;
  static const char* const kLines[] = {"InMemory_", "Pty_", "SerialServer_"};
  return kLines[static_cast<int>(kind)] + std::string(c.name);
}

INSTANTIATE_TEST_SUITE_P(BothLines, Operations,
                         ::testing::Combine(::testing::Values(LineKind::kInMemory,
                                                              LineKind::kPseudoTerminal,
                                                              LineKind::kSerialServer),
                                            ::testing::ValuesIn(kCases)),
                         CaseName);

// What only the real clock shows: the confirmation leaves 300 ms after the broadcast, a silent
// detector's failure comes 1.3 s after the confirmation, 1.6 s after the press, and a pulled
// device ends the operation in flight at once. Each wait is armed before its request is told and
// written, so the lower bounds count from the press, which comes before both.
TEST(OperationsInRealTime,
     TheConfirmationLeaves300msAfterTheBroadcastAndASilentReplyTimesOutAt1300ms) {
  PtyRig rig(At(1, {.present = false}));
  Engine engine(rig.Line());
  std::vector<Outcome> outcomes;
  std::vector<std::chrono::steady_clock::time_point> sentAt;
  engine.SetOnOutcome([&](const Outcome& outcome) { outcomes.push_back(outcome); });
  engine.SetOnProgress([&](const Progress& progress) {
    if (progress.sentStep) sentAt.push_back(std::chrono::steady_clock::now());
  });
  const auto pressed = std::chrono::steady_clock::now();
  engine.Start({Operation::kSetAddress, 9});
  ASSERT_TRUE(RunUntil([&] { return !outcomes.empty(); }, 3s));
  const auto ended = std::chrono::steady_clock::now();
  ASSERT_EQ(sentAt.size(), 2U);
  EXPECT_EQ(outcomes.front().result, Result::kNoReply);
  // A loaded machine may run a timer late, never early.
  EXPECT_GE(sentAt[1] - pressed, 300ms);
  EXPECT_LT(sentAt[1] - sentAt[0], 300ms + 150ms);
  EXPECT_GE(ended - pressed, 1600ms);
  EXPECT_LT(ended - sentAt[1], 1300ms + 250ms);
}

TEST(OperationsInRealTime, ASecondPressDoesNotPutOffTheTimeOutOfTheFirst) {
  PtyRig rig(At(5, {.present = false}));
  Engine engine(rig.Line());
  std::vector<Outcome> outcomes;
  engine.SetOnOutcome([&](const Outcome& outcome) { outcomes.push_back(outcome); });
  const auto first = std::chrono::steady_clock::now();
  engine.Start({Operation::kQueryVoltage, 5});
  testing::RunFor(700ms);
  engine.Start({Operation::kQueryVoltage, 5});
  ASSERT_TRUE(RunUntil([&] { return !outcomes.empty(); }, 3s));
  const auto waited = std::chrono::steady_clock::now() - first;
  EXPECT_GE(waited, 1300ms);
  EXPECT_LT(waited, 1300ms + 500ms);
  testing::RunFor(900ms);
  EXPECT_EQ(outcomes.size(), 1U);
}

TEST(OperationsInRealTime, APulledDeviceEndsTheOperationInFlightAtOnce) {
  PtyRig rig(At(5));
  rig.detector.SetFault(Fault::NoReply());
  Engine engine(rig.Line());
  std::vector<Outcome> outcomes;
  engine.SetOnOutcome([&](const Outcome& outcome) { outcomes.push_back(outcome); });
  engine.Start({Operation::kQueryVoltage, 5});
  ASSERT_TRUE(RunUntil([&] { return rig.detector.ExchangeCount() == 1; }, 2s));
  const auto pulled = std::chrono::steady_clock::now();
  rig.detector.Unplug();
  ASSERT_TRUE(RunUntil([&] { return !outcomes.empty(); }, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - pulled, 1s);
  EXPECT_EQ(outcomes.front().result, Result::kLineLost);
  EXPECT_FALSE(rig.Line().IsOpen());
}

// Each request leaves the line silent for 3.5 character times (4.01 ms at 9600 baud, 8N1: 11
// bits each) after the last byte of the reply before it, and after the request before it when
// no reply came, as the detector's own clock stamps the bytes. The requests go back to back:
// each as soon as the outcome before it is told, the silent ones after the scan's shortest wait, 20
// ms.
TEST(OperationsInRealTime, EachRequestWaitsOutTheSilenceBetweenFrames) {
  PtyRig rig(At(5));
  Engine engine(rig.Line());
  constexpr int kAnswered = 8;
  constexpr int kRequests = 16;
  int outcomes = 0;
  const auto next = [&] {
    const bool silent = outcomes >= kAnswered;
    rig.detector.SetPresent(!silent);
    engine.Start({Operation::kQueryVoltage, 5,
                  silent ? std::optional(20ms) : std::optional<std::chrono::milliseconds>()});
  };
  engine.SetOnOutcome([&](const Outcome& outcome) {
    if (outcome.again) return;
    EXPECT_EQ(outcome.result, outcomes < kAnswered ? Result::kAnswered : Result::kNoReply);
    if (++outcomes < kRequests) QTimer::singleShot(0, next);
  });
  next();
  ASSERT_TRUE(RunUntil([&] { return outcomes == kRequests; }, 10s));
  const auto exchanges = rig.detector.Exchanges();
  ASSERT_EQ(exchanges.size(), static_cast<std::size_t>(kRequests));
  std::chrono::nanoseconds shortest = 1h;
  for (std::size_t i = 1; i < exchanges.size(); ++i) {
    const sim::Exchange& before = exchanges[i - 1];
    EXPECT_EQ(before.reply.empty(), i > kAnswered) << i;
    const auto lastByte = before.reply.empty() ? before.requestLastByte : before.replyLastByte;
    shortest = std::min(shortest, exchanges[i].requestFirstByte - lastByte);
  }
  EXPECT_GE(shortest, 4010us) << "the shortest silence: " << shortest.count() << " ns";
}

}  // namespace
}  // namespace karvello
