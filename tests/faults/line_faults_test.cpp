// Faults on the line, over real pseudo-terminals with the tool's own serial control, operations
// and timers: the device pulled in the middle of an operation, noise bursts around a reply, a
// reply that trickles in, a detector that answers twice.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "framing/crc16.h"
#include "framing/frame_text.h"
#include "operations/operations.h"
#include "operations/timing.h"
#include "serial/port_discovery.h"
#include "serial/qt_serial_control.h"
#include "sim/pty_pair.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
using sim::SimulatedDetector;
using testing::Hex;
using testing::LogRecordingTexts;
using testing::RunFor;
using testing::RunUntil;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// CPU time (user and system) this process has used.
double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(use.ru_utime) + seconds(use.ru_stime);
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Op {
  const char* name;
  void (Operations::*click)();
  int timer;                   // the timer that waits for the reply
  void (Operations::*tick)();  // its tick handler
  std::size_t requests;        // requests the operation sends
  std::string failure;
};

const Op kQueryAddress{"query address",
                       &Operations::QueryAddress,
                       2,
                       &Operations::Timer2_Timer,
                       1,
                       std::string(text::kQueryFailed)};
const Op kQueryVoltage{"query voltage",
                       &Operations::QueryVoltage,
                       5,
                       &Operations::Timer5_Timer,
                       1,
                       std::string(text::kQueryFailed)};
const Op kSetAddress{"set address",
                     &Operations::SetAddress,
                     1,
                     &Operations::Timer1_Timer,
                     2,
                     std::string(text::kSetFailed)};
const Op kQueryResistance{"query resistance",
                          &Operations::QueryResistance,
                          3,
                          &Operations::Timer3_Timer,
                          2,
                          std::string(text::kQueryFailed)};

class LineFaults : public ::testing::Test {
 protected:
  // The tool with COM1 on `path`, the port opened by the start-up probe.
  void StartTool(const std::string& path) {
    map_.Set(1, path);
    comm_ = std::make_unique<QtSerialControl>(map_);
    ops_ = std::make_unique<Operations>(*comm_, texts_);
    // Every event of the line is seen here before the operations handle it.
    comm_->SetOnComm([this] {
      events_.push_back(comm_->CommEvent());
      ops_->MSComm1_OnComm();
    });
    ports_.SetOnSelected([this] { OpenSelectedPort(*comm_, ports_); });
    DiscoverPorts(*comm_, map_, ports_);
    ASSERT_TRUE(comm_->PortOpen());
  }

  // Presses the button; the resistance query's 19 s wait is run through by its tick handler.
  void Press(const Op& op) {
    texts_.written.clear();
    (ops_.get()->*op.click)();
    if (op.timer == 3) {
      for (int tick = 0; tick <= timing::kMeasureDelayLimit; ++tick) ops_->Timer6_Timer();
    }
  }
  // Presses the button of an operation on the simulated detector, whose reply to the request
  // that awaits one goes wrong by `fault`. The first step of a two-step operation is taken by
  // the detector (and its echo of the measurement start dropped) before the waits are run
  // through by the tick handlers.
  void PressWithFault(const Op& op, SimulatedDetector& detector, Fault fault) {
    texts_.written.clear();
    const std::size_t before = detector.ExchangeCount();
    if (op.requests == 1) detector.SetFault(fault, 1);
    (ops_.get()->*op.click)();
    if (op.requests == 2) {
      ASSERT_TRUE(detector.WaitForExchanges(before + 1, 1s));
      RunFor(20ms);
      detector.SetFault(fault, 1);
    }
    if (op.timer == 3) {
      for (int tick = 0; tick <= timing::kMeasureDelayLimit; ++tick) ops_->Timer6_Timer();
    } else if (op.timer == 1) {
      for (int tick = 0; tick <= timing::kSetDelayLimit; ++tick) ops_->Timer4_Timer();
    }
  }
  bool Ended(const Op& op) const { return !ops_->Timer(op.timer).IsOn() && !ops_->Timer(4).IsOn(); }
  bool AwaitEnd(const Op& op, std::chrono::milliseconds timeout) {
    return RunUntil([&] { return Ended(op); }, timeout);
  }
  // Waits a moment for the operation to end by a reply; if it has not, runs its time-out
  // through by the tick handler rather than waiting 1.3 s.
  void EndOrTimeOut(const Op& op) {
    if (AwaitEnd(op, 150ms)) return;
    for (int tick = 0; tick <= timing::kReplyTimeoutLimit && !Ended(op); ++tick) {
      (ops_.get()->*op.tick)();
    }
    ASSERT_TRUE(Ended(op));
  }

  FixedPortMap map_;
  LogRecordingTexts texts_;
  PortList ports_;
  std::unique_ptr<QtSerialControl> comm_;
  std::unique_ptr<Operations> ops_;
  std::vector<int> events_;
};

// The report each operation shows for a detector at address 1 holding the default readings.
std::string ExpectedReport(const Op& op) {
  if (op.timer == 2) {
    return "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：01 03 02 00 01 79 84\r\n地址：1";
  }
  if (op.timer == 5) {
    return "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 DC B9 DD\r\n"
           "电压 = 220伏";
  }
  if (op.timer == 1) {
    return "设置成功！\r\n发送1：00 06 00 12 00 01 E9 DE\r\n发送2：01 06 00 12 00 01 E8 0F\r\n"
           "接收 ：01 06 00 12 00 01 E8 0F";
  }
  return "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
         "接收 ：01 03 04 01 59 00 01 EA 1C\r\n电阻 =  34.5欧姆";
}

// The detector's reply to each operation, at address 1 with the default readings.
Bytes GoodReply(const Op& op) {
  switch (op.timer) {
    case 2:
      return Hex("01 03 02 00 01 79 84");
    case 5:
      return Hex("01 03 02 00 DC B9 DD");
    case 1:
      return Hex("01 06 00 12 00 01 E8 0F");
    default:
      return Hex("01 03 04 01 59 00 01 EA 1C");
  }
}

// Every text the operation wrote is its failure text, the measuring notice, or a step of the
// one true report on its way (a report replaces the log, then appends line by line).
void ExpectOnlyTrueReportsOrFailure(const std::vector<std::string>& written, const Op& op,
                                    const std::string& report) {
  for (const auto& text : written) {
    const bool ok = text == op.failure || text == text::kMeasuring ||
                    (!text.empty() && report.starts_with(text));
    EXPECT_TRUE(ok) << op.name << " wrote: " << text;
  }
}

// The adapter is pulled while the detector is about to answer. The port is closed on the error,
// the process does not spin, the operation fails at its time-out, and choosing COM1 again once a
// detector is back there opens the port and works.
TEST_F(LineFaults, ADevicePulledMidOperationClosesThePortAndTheEntryReopensItWhenBack) {
  auto detector = std::make_unique<SimulatedDetector>(sim::DetectorConfig{.address = 1});
  StartTool(detector->SlavePath());
  texts_.SetAddressText("1");
  for (const Op* op : {&kQueryVoltage, &kQueryAddress}) {
    SCOPED_TRACE(op->name);
    if (!detector) {
      detector = std::make_unique<SimulatedDetector>(sim::DetectorConfig{.address = 1});
      map_.Set(1, detector->SlavePath());
      ASSERT_TRUE(ports_.Select(0));
      ASSERT_TRUE(comm_->PortOpen());
    }
    events_.clear();
    detector->SetFault(Fault::Delay(400ms), 1);  // the reply is still to come when pulled
    const auto start = Clock::now();
    Press(*op);
    ASSERT_TRUE(
        RunUntil([&] { return detector->ExchangeCount() == 0 && SecondsSince(start) > 0.1; }, 1s));
    detector->Unplug();

    // The loss is noticed, the port closed and the error raised.
    ASSERT_TRUE(RunUntil([&] { return !comm_->PortOpen(); }, 500ms)) << "port left open";
    EXPECT_EQ(events_, std::vector<int>{SerialControl::kEvError});

    // No busy loop: the next second costs little CPU (the test's own loop wakes every 5 ms).
    const double cpuBefore = CpuSeconds();
    const auto quietStart = Clock::now();
    RunFor(1000ms);
    const double cpu = CpuSeconds() - cpuBefore;
    EXPECT_LT(cpu, 0.1 * SecondsSince(quietStart)) << "CPU seconds over 1 s: " << cpu;

    // The operation ends with its failure text at its time-out.
    ASSERT_TRUE(AwaitEnd(*op, 1500ms));
    EXPECT_EQ(texts_.LogText(), op->failure);
    EXPECT_NEAR(SecondsSince(start), 1.3, 0.1);
    EXPECT_FALSE(comm_->PortOpen());
    EXPECT_EQ(events_, std::vector<int>{SerialControl::kEvError});

    detector.reset();
  }

  // The detector is back, on a new terminal at the same number: choosing COM1 reopens it.
  detector = std::make_unique<SimulatedDetector>(sim::DetectorConfig{.address = 1});
  map_.Set(1, detector->SlavePath());
  ASSERT_TRUE(ports_.Select(0));
  ASSERT_TRUE(comm_->PortOpen());
  Press(kQueryVoltage);
  ASSERT_TRUE(AwaitEnd(kQueryVoltage, 1s));
  EXPECT_EQ(texts_.LogText(), ExpectedReport(kQueryVoltage));
}

// Reads the 8 bytes of a request from the detector's side of the line.
Bytes ReadRequest(int fd) {
  Bytes bytes;
  const auto deadline = Clock::now() + 1s;
  while (bytes.size() < 8 && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    std::uint8_t buf[8];
    const ssize_t n = read(fd, buf, 8 - bytes.size());
    if (n > 0) bytes.insert(bytes.end(), buf, buf + n);
  }
  return bytes;
}

void WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
}

// Bursts of noise up to 2 KiB at once, before, in the middle of and after a good reply, written
// by a detector played by the test on the other end of the line. Whatever the noise makes of the
// reply, the log shows only the true report or the failure text.
TEST_F(LineFaults, NoiseBurstsAroundAReplyNeverMakeAFalseSuccess) {
  sim::PtyPair line;
  StartTool(line.SlavePath());
  const int fd = line.MasterFd();
  texts_.SetAddressText("1");
  std::mt19937 random(20240611);
  auto noise = [&](std::size_t size) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
  };
  struct Reply {
    const Op* op;
    Bytes bytes;
  };
  const Reply replies[] = {
      {&kQueryAddress, GoodReply(kQueryAddress)},
      {&kQueryVoltage, GoodReply(kQueryVoltage)},
      {&kSetAddress, GoodReply(kSetAddress)},
      {&kQueryResistance, GoodReply(kQueryResistance)},
  };
  enum class Where { kBefore, kBeforeWithPause, kInside, kAfter };
  int successes = 0;
  int failures = 0;
  for (const auto& reply : replies) {
    for (Where where : {Where::kBefore, Where::kBeforeWithPause, Where::kInside, Where::kAfter}) {
      for (std::size_t size : {1U, 7U, 300U, 2048U}) {
        SCOPED_TRACE(std::string(reply.op->name) + ", burst of " + std::to_string(size) + " at " +
                     std::to_string(int(where)));
        Press(*reply.op);
        if (reply.op->timer == 1) {
          ReadRequest(fd);  // the broadcast
          for (int tick = 0; tick <= timing::kSetDelayLimit; ++tick) ops_->Timer4_Timer();
        } else if (reply.op->timer == 3) {
          ReadRequest(fd);  // the start of the measurement
        }
        ASSERT_EQ(ReadRequest(fd).size(), 8U);
        const Bytes burst = noise(size);
        const auto half = reply.bytes.begin() + 3;
        switch (where) {
          case Where::kBefore:
            WriteAll(fd, burst);
            WriteAll(fd, reply.bytes);
            break;
          case Where::kBeforeWithPause:
            WriteAll(fd, burst);
            RunFor(80ms);  // longer than the frame gap: the burst ends before the reply
            WriteAll(fd, reply.bytes);
            break;
          case Where::kInside:
            WriteAll(fd, {reply.bytes.begin(), half});
            WriteAll(fd, burst);
            WriteAll(fd, {half, reply.bytes.end()});
            break;
          case Where::kAfter:
            WriteAll(fd, reply.bytes);
            RunFor(10ms);
            WriteAll(fd, burst);
            break;
        }
        // The operation ends by a reply or by its time-out; then the line falls quiet.
        EndOrTimeOut(*reply.op);
        RunFor(80ms);
        const std::string report = ExpectedReport(*reply.op);
        ExpectOnlyTrueReportsOrFailure(texts_.written, *reply.op, report);
        if (where == Where::kAfter) {
          // The reply came first and whole: its report was shown before anything else.
          ASSERT_FALSE(texts_.written.empty());
          const auto shown = std::find(texts_.written.begin(), texts_.written.end(), report);
          EXPECT_NE(shown, texts_.written.end());
          for (auto it = texts_.written.begin(); it != shown; ++it) {
            EXPECT_NE(*it, reply.op->failure);
          }
        }
        (texts_.LogText() == report ? successes : failures)++;
        EXPECT_TRUE(comm_->PortOpen());
      }
    }
  }
  // Both outcomes happen: the noise does spoil some replies, and some survive it.
  EXPECT_GT(successes, 0);
  EXPECT_GT(failures, 0);
}

// A reply that trickles in one byte every 20 ms (well under the 50 ms gap) is one reply: its
// report is shown once and nothing else.
TEST_F(LineFaults, AReplyTricklingInByteByByteIsAcceptedOnce) {
  SimulatedDetector detector({.address = 1, .measurementTime = 0ms});
  StartTool(detector.SlavePath());
  for (const Op* op : {&kQueryAddress, &kQueryVoltage, &kSetAddress, &kQueryResistance}) {
    SCOPED_TRACE(op->name);
    texts_.SetAddressText("1");
    PressWithFault(*op, detector, Fault::Split(std::vector<std::size_t>(8, 1), 20ms));
    const auto start = Clock::now();
    ASSERT_TRUE(AwaitEnd(*op, 1s));
    RunFor(100ms);
    const std::string report = ExpectedReport(*op);
    EXPECT_EQ(texts_.LogText(), report);
    EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), report), 1);
    ExpectOnlyTrueReportsOrFailure(texts_.written, *op, report);
    EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), op->failure), 0);
    // Shown when the last byte came, about 140 to 160 ms after the first.
    EXPECT_GT(SecondsSince(start), 0.12);
    const auto log = detector.Exchanges();
    const auto& last = log.back();
    EXPECT_EQ(last.reply.size(), op->timer == 3 ? 9U : op->timer == 1 ? 8U : 7U);
  }
}

// A detector that answers twice: the first reply shows the report; the copy is judged again by
// the same step and shows the same report again. Never another value, never a failure.
TEST_F(LineFaults, ADetectorThatAnswersTwiceShowsTheSameReportAgain) {
  SimulatedDetector detector({.address = 1, .measurementTime = 0ms});
  StartTool(detector.SlavePath());
  for (auto pause : {0ms, 30ms, 200ms}) {
    for (const Op* op : {&kQueryAddress, &kQueryVoltage, &kSetAddress, &kQueryResistance}) {
      SCOPED_TRACE(std::string(op->name) + ", copy after " + std::to_string(pause.count()) + " ms");
      texts_.SetAddressText("1");
      const std::size_t before = detector.ExchangeCount();
      PressWithFault(*op, detector, Fault::Twice(pause));
      ASSERT_TRUE(AwaitEnd(*op, 1s));
      ASSERT_TRUE(detector.WaitForExchanges(before + op->requests, 1s));
      RunFor(pause + 80ms);
      const std::string report = ExpectedReport(*op);
      EXPECT_EQ(texts_.LogText(), report);
      EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), report), 2);
      ExpectOnlyTrueReportsOrFailure(texts_.written, *op, report);
      EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), op->failure), 0);
      EXPECT_FALSE(ops_->Timer(op->timer).IsOn());
    }
  }
}

// One bit turned over anywhere in a reply (the slave byte, the function code, the byte count, the
// data or the CRC) is never taken for a success: the reply fails, at once or at its time-out.
TEST_F(LineFaults, AReplyWithABitTurnedOverAnywhereFails) {
  SimulatedDetector detector({.address = 1, .measurementTime = 0ms});
  StartTool(detector.SlavePath());
  for (const Op* op : {&kQueryAddress, &kQueryVoltage, &kSetAddress, &kQueryResistance}) {
    const std::string report = ExpectedReport(*op);
    for (std::size_t byte = 0; byte < GoodReply(*op).size(); ++byte) {
      for (std::uint8_t mask : {0x01, 0x10, 0x80}) {
        SCOPED_TRACE(std::string(op->name) + ", byte " + std::to_string(byte) + " ^ " +
                     std::to_string(mask));
        texts_.SetAddressText("1");
        detector.SetAddress(1);
        const std::size_t before = detector.ExchangeCount();
        PressWithFault(*op, detector, Fault::FlipBits(byte, mask));
        EndOrTimeOut(*op);
        ASSERT_TRUE(detector.WaitForExchanges(before + op->requests, 1s));
        RunFor(60ms);  // what is left of a frame cut short by a changed length comes in
        // The detector did send the reply with just that bit turned over.
        const Bytes sent = detector.Exchanges().back().reply;
        Bytes expected = GoodReply(*op);
        expected[byte] ^= mask;
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(texts_.LogText(), op->failure);
        ExpectOnlyTrueReportsOrFailure(texts_.written, *op, report);
        EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), report), 0);
      }
    }
  }
}

}  // namespace
}  // namespace karvello
