// Faults on the line, over real pseudo-terminals with the tool's own serial line and operations:
// the device pulled in the middle of an operation, noise bursts around a reply, a reply that
// trickles in, a detector that answers twice, a bit turned over anywhere in a reply. The delays
// and, where the test has seen enough, the time-outs are ticked by hand.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "operations/log_texts.h"
#include "operations/operations.h"
#include "serial/qt_serial_line.h"
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
using SteadyClock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// CPU time (user and system) this process has used.
double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(use.ru_utime) + seconds(use.ru_stime);
}

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

struct Op {
  const char* name;
  void (Operations::*press)();
  Clock timeout;               // the countdown that waits for the reply
  std::optional<Clock> delay;  // the delay before the request that awaits it
  std::size_t requests;        // requests the operation sends
  std::string failure;
  std::string report;  // for a detector at address 1 with the default readings
  Bytes reply;         // that detector's reply
};

const Op kQueryAddress{
    "query address",
    &Operations::QueryAddress,
    Clock::kAddressTimeout,
    std::nullopt,
    1,
    std::string(text::kQueryFailed),
    "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：01 03 02 00 01 79 84\r\n地址：1",
    Hex("01 03 02 00 01 79 84")};
const Op kQueryVoltage{
    "query voltage",
    &Operations::QueryVoltage,
    Clock::kVoltageTimeout,
    std::nullopt,
    1,
    std::string(text::kQueryFailed),
    "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 DC B9 DD\r\n"
    "电压 = 220伏",
    Hex("01 03 02 00 DC B9 DD")};
const Op kSetAddress{
    "set address",
    &Operations::SetAddress,
    Clock::kSetTimeout,
    Clock::kSetDelay,
    2,
    std::string(text::kSetFailed),
    "设置成功！\r\n发送1：00 06 00 12 00 01 E9 DE\r\n发送2：01 06 00 12 00 01 E8 0F\r\n"
    "接收 ：01 06 00 12 00 01 E8 0F",
    Hex("01 06 00 12 00 01 E8 0F")};
const Op kQueryResistance{
    "query resistance",
    &Operations::QueryResistance,
    Clock::kResistanceTimeout,
    Clock::kMeasureDelay,
    2,
    std::string(text::kQueryFailed),
    "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
    "接收 ：01 03 04 01 59 00 01 EA 1C\r\n电阻 =  34.5欧姆",
    Hex("01 03 04 01 59 00 01 EA 1C")};
const Op* const kOps[] = {&kQueryAddress, &kQueryVoltage, &kSetAddress, &kQueryResistance};

void TickUntilStopped(Countdown& countdown) {
  for (int tick = 0; countdown.IsRunning() && tick <= countdown.Limit() + 1; ++tick) {
    countdown.Tick();
  }
}

class LineFaults : public ::testing::Test {
 protected:
  // The tool with COM1 on `path`, the port open.
  void StartTool(const std::string& path) {
    map_.Set(1, path);
    ops_.reset();  // the operations let go of the old line before it goes
    line_ = std::make_unique<QtSerialLine>(map_);
    ops_ = std::make_unique<Operations>(*line_, texts_);
    ASSERT_TRUE(line_->Open(1));
  }

  // Presses the button of an operation on the simulated detector, whose reply to the request that
  // awaits one goes wrong by `fault`. The first request of a two-request operation is taken by
  // the detector before the delay is ticked through.
  void PressWithFault(const Op& op, SimulatedDetector& detector, const Fault& fault) {
    texts_.written.clear();
    const std::size_t before = detector.ExchangeCount();
    if (op.requests == 1) detector.SetFault(fault, 1);
    (ops_.get()->*op.press)();
    if (op.delay) {
      ASSERT_TRUE(detector.WaitForExchanges(before + 1, 2s));
      detector.SetFault(fault, 1);
      TickUntilStopped(ops_->CountdownOf(*op.delay));
    }
  }
  bool Ended(const Op& op) const { return !ops_->CountdownOf(op.timeout).IsRunning(); }
  // Waits a moment for the operation to end by a reply; if it has not, ticks its time-out
  // through rather than waiting 1.3 s.
  void EndOrTimeOut(const Op& op) {
    if (RunUntil([&] { return Ended(op); }, 300ms)) return;
    TickUntilStopped(ops_->CountdownOf(op.timeout));
    ASSERT_TRUE(Ended(op));
  }

  FixedPortMap map_;
  LogRecordingTexts texts_;
  std::unique_ptr<QtSerialLine> line_;
  std::unique_ptr<Operations> ops_;
};

// Every text the operation wrote is its failure text, the measuring notice, or its true report.
void ExpectOnlyTrueReportOrFailure(const std::vector<std::string>& written, const Op& op) {
  for (const auto& text : written) {
    EXPECT_TRUE(text == op.failure || text == text::kMeasuring || text == op.report)
        << op.name << " wrote: " << text;
  }
}

// The adapter is pulled while the detector is about to answer. The port closes, the operation
// fails at once, the process does not spin, and opening COM1 again once a detector is back
// there works.
TEST_F(LineFaults, ADevicePulledMidOperationClosesThePortWhichReopensWhenBack) {
  auto detector = std::make_unique<SimulatedDetector>(sim::DetectorConfig{.address = 1});
  StartTool(detector->SlavePath());
  texts_.SetAddressText("1");
  for (const Op* op : {&kQueryVoltage, &kQueryAddress}) {
    SCOPED_TRACE(op->name);
    if (!detector) {
      detector = std::make_unique<SimulatedDetector>(sim::DetectorConfig{.address = 1});
      map_.Set(1, detector->SlavePath());
      ASSERT_TRUE(line_->Open(1));
      ASSERT_TRUE(line_->IsOpen());
    }
    detector->SetFault(Fault::Delay(400ms), 1);  // the reply is still to come when pulled
    texts_.written.clear();
    (ops_.get()->*op->press)();
    RunFor(50ms);  // the request crosses the line
    const auto pulled = SteadyClock::now();
    detector->Unplug();

    ASSERT_TRUE(RunUntil([&] { return !texts_.written.empty(); }, 1s));
    EXPECT_LT(SecondsSince(pulled), 0.2);
    EXPECT_EQ(texts_.written, std::vector<std::string>{op->failure});
    EXPECT_FALSE(line_->IsOpen());
    EXPECT_TRUE(Ended(*op));

    // No busy loop: the next second costs little CPU (the test's own loop wakes every 5 ms),
    // and nothing more is written: no time-out comes after.
    const double cpuBefore = CpuSeconds();
    const auto quietStart = SteadyClock::now();
    RunFor(1000ms);
    const double cpu = CpuSeconds() - cpuBefore;
    EXPECT_LT(cpu, 0.1 * SecondsSince(quietStart)) << "CPU seconds over 1 s: " << cpu;
    EXPECT_EQ(texts_.written, std::vector<std::string>{op->failure});
    detector.reset();
  }

  // The detector is back, on a new terminal at the same number: COM1 opens again.
  detector = std::make_unique<SimulatedDetector>(sim::DetectorConfig{.address = 1});
  map_.Set(1, detector->SlavePath());
  ASSERT_TRUE(line_->Open(1));
  ASSERT_TRUE(line_->IsOpen());
  texts_.written.clear();
  ops_->QueryVoltage();
  ASSERT_TRUE(RunUntil([&] { return Ended(kQueryVoltage); }, 2s));
  EXPECT_EQ(texts_.written, std::vector<std::string>{kQueryVoltage.report});
}

// An adapter that hears itself at once, with no detector on the line: whatever the tool writes
// comes straight back. Ten presses of set address: never "设置成功！" from the echo alone.
TEST_F(LineFaults, AnAdapterThatEchoesAtOnceWithNoDetectorNeverGivesASuccess) {
  sim::PtyPair line;
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    std::uint8_t buf[64];
    while (!stop) {
      pollfd p{line.MasterFd(), POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = read(line.MasterFd(), buf, sizeof buf);
      if (n > 0 && write(line.MasterFd(), buf, static_cast<std::size_t>(n)) != n) break;
    }
  });
  StartTool(line.SlavePath());
  std::vector<std::vector<std::string>> outcomes;
  for (int press = 0; press < 10; ++press) {
    texts_.SetAddressText("3");
    texts_.written.clear();
    ops_->SetAddress();
    RunFor(30ms);  // the broadcast and its echo cross the line
    TickUntilStopped(ops_->CountdownOf(Clock::kSetDelay));
    RunFor(kFrameGap + 30ms);  // the confirmation and its echo
    TickUntilStopped(ops_->CountdownOf(Clock::kSetTimeout));
    outcomes.push_back(texts_.written);
  }
  stop = true;
  echo.join();
  EXPECT_EQ(outcomes, std::vector<std::vector<std::string>>(10, {std::string(text::kSetFailed)}));
}

// An echoing adapter that puts a stray byte in front of each copy it gives back. Twice, so that
// the line is first learned and then known to echo: with no detector set address fails at its
// time-out, never a success from the copies; with one, its exact report, once.
TEST_F(LineFaults, AStrayByteBeforeEachEchoCopyNeverHidesTheEcho) {
  for (const bool present : {false, true}) {
    SCOPED_TRACE(present ? "a detector" : "no detector");
    SimulatedDetector detector(
        {.address = 1, .echo = true, .present = present, .strayBeforeEcho = 0x00});
    StartTool(detector.SlavePath());
    for (int press = 0; press < 2; ++press) {
      texts_.SetAddressText("1");
      texts_.written.clear();
      ops_->SetAddress();
      ASSERT_TRUE(detector.WaitForExchanges(2 * press + 1, 2s));
      RunFor(30ms);  // the broadcast's copy reaches the tool
      TickUntilStopped(ops_->CountdownOf(Clock::kSetDelay));
      if (present) {
        ASSERT_TRUE(RunUntil([&] { return Ended(kSetAddress); }, 2s));
      } else {
        ASSERT_TRUE(detector.WaitForExchanges(2 * press + 2, 2s));
        RunFor(kFrameGap + 30ms);  // the confirmation's copy, and the line falls silent
        TickUntilStopped(ops_->CountdownOf(Clock::kSetTimeout));
      }
      RunFor(kFrameGap + 30ms);
      EXPECT_EQ(texts_.written,
                std::vector<std::string>{present ? kSetAddress.report : kSetAddress.failure})
          << "press " << press;
      EXPECT_TRUE(line_->Echoing());
    }
    EXPECT_EQ(detector.EchoedBytes(), 4U * 8);
  }
}

// Reads the 8 bytes of a request from the detector's side of the line.
Bytes ReadRequest(int fd) {
  Bytes bytes;
  const auto deadline = SteadyClock::now() + 2s;
  while (bytes.size() < 8 && SteadyClock::now() < deadline) {
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
// reply, the log shows only the true report or the failure text; a reply that came whole before
// the noise keeps its report, shown once.
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
  enum class Where { kBefore, kBeforeWithPause, kInside, kAfter };
  int successes = 0;
  int failures = 0;
  for (const Op* op : kOps) {
    for (Where where : {Where::kBefore, Where::kBeforeWithPause, Where::kInside, Where::kAfter}) {
      for (std::size_t size : {1U, 7U, 300U, 2048U}) {
        SCOPED_TRACE(std::string(op->name) + ", burst of " + std::to_string(size) + " at " +
                     std::to_string(int(where)));
        texts_.written.clear();
        (ops_.get()->*op->press)();
        if (op->delay) {
          ASSERT_EQ(ReadRequest(fd).size(), 8U);  // the broadcast, or the start
          TickUntilStopped(ops_->CountdownOf(*op->delay));
        }
        ASSERT_EQ(ReadRequest(fd).size(), 8U);
        const Bytes burst = noise(size);
        const auto half = op->reply.begin() + 3;
        switch (where) {
          case Where::kBefore:
            WriteAll(fd, burst);
            WriteAll(fd, op->reply);
            break;
          case Where::kBeforeWithPause:
            WriteAll(fd, burst);
            RunFor(kFrameGap + 30ms);  // the burst ends before the reply
            WriteAll(fd, op->reply);
            break;
          case Where::kInside:
            WriteAll(fd, {op->reply.begin(), half});
            WriteAll(fd, burst);
            WriteAll(fd, {half, op->reply.end()});
            break;
          case Where::kAfter:
            WriteAll(fd, op->reply);
            RunFor(10ms);
            WriteAll(fd, burst);
            break;
        }
        EndOrTimeOut(*op);
        RunFor(kFrameGap + 50ms);  // the line falls quiet and what is left is judged
        ExpectOnlyTrueReportOrFailure(texts_.written, *op);
        if (where == Where::kAfter) {
          std::vector<std::string> expected{op->report};
          if (op->delay == Clock::kMeasureDelay)
            expected.insert(expected.begin(), std::string(text::kMeasuring));
          EXPECT_EQ(texts_.written, expected);
        }
        (texts_.LogText() == op->report ? successes : failures)++;
        EXPECT_TRUE(line_->IsOpen());
      }
    }
  }
  // Both outcomes happen: the noise does spoil some replies, and some survive it.
  EXPECT_GT(successes, 0);
  EXPECT_GT(failures, 0);
}

// A reply that trickles in one byte every 20 ms, and one that comes at the 9600-baud pace, is
// one reply: its report is shown once and nothing else.
TEST_F(LineFaults, AReplyTricklingInByteByByteIsAcceptedOnce) {
  SimulatedDetector detector({.address = 1, .measurementTime = 0ms});
  StartTool(detector.SlavePath());
  texts_.SetAddressText("1");
  for (const Fault& fault :
       {Fault::Split(std::vector<std::size_t>(8, 1), 20ms), Fault::Trickle()}) {
    for (const Op* op : kOps) {
      SCOPED_TRACE(std::string(op->name) + (fault.kind == Fault::Kind::kTrickle ? ", paced" : ""));
      PressWithFault(*op, detector, fault);
      ASSERT_TRUE(RunUntil([&] { return Ended(*op); }, 2s));
      RunFor(kFrameGap + 50ms);
      std::vector<std::string> expected{op->report};
      if (op->delay == Clock::kMeasureDelay)
        expected.insert(expected.begin(), std::string(text::kMeasuring));
      EXPECT_EQ(texts_.written, expected);
      EXPECT_EQ(detector.Exchanges().back().reply, op->reply);
    }
  }
}

// A detector that answers twice: the first reply shows the report; the copy is judged again by
// the same step and shows the same report again. Never another value, never a failure.
TEST_F(LineFaults, ADetectorThatAnswersTwiceShowsTheSameReportAgain) {
  SimulatedDetector detector({.address = 1, .measurementTime = 0ms});
  StartTool(detector.SlavePath());
  texts_.SetAddressText("1");
  for (auto pause : {0ms, 30ms, 200ms}) {
    for (const Op* op : kOps) {
      SCOPED_TRACE(std::string(op->name) + ", copy after " + std::to_string(pause.count()) + " ms");
      const std::size_t before = detector.ExchangeCount();
      PressWithFault(*op, detector, Fault::Twice(pause));
      ASSERT_TRUE(RunUntil([&] { return Ended(*op); }, 2s));
      ASSERT_TRUE(detector.WaitForExchanges(before + op->requests, 2s));
      RunFor(kFrameGap + 50ms);
      EXPECT_EQ(texts_.LogText(), op->report);
      EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), op->report), 2);
      ExpectOnlyTrueReportOrFailure(texts_.written, *op);
      EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), op->failure), 0);
    }
  }
}

// One bit turned over anywhere in a reply (the slave byte, the function code, the byte count, the
// data or the CRC) is never taken for a success: the reply fails, at once or at its time-out.
TEST_F(LineFaults, AReplyWithABitTurnedOverAnywhereFails) {
  SimulatedDetector detector({.address = 1, .measurementTime = 0ms});
  StartTool(detector.SlavePath());
  for (const Op* op : kOps) {
    for (std::size_t byte = 0; byte < op->reply.size(); ++byte) {
      for (std::uint8_t mask : {0x01, 0x10, 0x80}) {
        SCOPED_TRACE(std::string(op->name) + ", byte " + std::to_string(byte) + " ^ " +
                     std::to_string(mask));
        texts_.SetAddressText("1");
        detector.SetAddress(1);
        const std::size_t before = detector.ExchangeCount();
        PressWithFault(*op, detector, Fault::FlipBits(byte, mask));
        ASSERT_TRUE(detector.WaitForExchanges(before + op->requests, 2s));
        EndOrTimeOut(*op);
        RunFor(kFrameGap + 20ms);  // what is left of a frame cut short by a changed length
        // The detector did send the reply with just that bit turned over.
        Bytes expected = op->reply;
        expected[byte] ^= mask;
        EXPECT_EQ(detector.Exchanges().back().reply, expected);
        EXPECT_EQ(texts_.LogText(), op->failure);
        ExpectOnlyTrueReportOrFailure(texts_.written, *op);
        EXPECT_EQ(std::count(texts_.written.begin(), texts_.written.end(), op->report), 0);
      }
    }
  }
}

}  // namespace
}  // namespace karvello
