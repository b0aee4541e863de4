// The QSerialPort line over a real pseudo-terminal pair: ports that open and those that do not,
// requests that reach the other end whole, the awaited reply found in what arrives however it
// comes, stray bytes handed up after the gap, and a line that goes away. (A reply split across
// reads is judged over the real line by the operations' tests.)
#include "serial/qt_serial_line.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "framing/frames.h"
#include "framing/registers.h"
#include "sim/pty_pair.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kind = Received::Kind;
using testing::Hex;
using testing::RunFor;
using testing::RunUntil;
using SteadyClock = std::chrono::steady_clock;

// Reads from `fd` until `count` bytes are in or `timeout` has passed.
Bytes ReadBytes(int fd, std::size_t count, std::chrono::milliseconds timeout) {
  Bytes bytes;
  const auto deadline = SteadyClock::now() + timeout;
  while (bytes.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left <= 0ms) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::uint8_t buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  return bytes;
}

void WriteBytes(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The voltage query to slave 1 and its reply.
const RequestFrame kVoltageRequest =
    BuildRequestFrame({1, reg::kFnReadHoldingRegisters, reg::kVoltage, 1});
const Bytes kVoltageReply = Hex("01 03 02 00 DC B9 DD");

class QtSerialLineTest : public ::testing::Test {
 protected:
  QtSerialLineTest() : map_({{1, pty_.SlavePath()}}), line_(map_) {
    line_.SetOnReceived([this](const Received& r) { received_.push_back(r); });
    line_.SetOnLost([this] { ++lost_; });
  }

  void Open() { ASSERT_TRUE(line_.Open(LineAddress::Port(1))); }
  // Sends the voltage query; the detector's end reads it off the line once it is written (on
  // the event loop, after the silence between frames when something came just before).
  void AskVoltage() {
    ASSERT_TRUE(line_.Send(kVoltageRequest, ReplyShape::For(kVoltageRequest)));
    RunUntil(
        [this] {
          pollfd readable{pty_.MasterFd(), POLLIN, 0};
          return ::poll(&readable, 1, 0) == 1;
        },
        1s);
    ASSERT_EQ(ReadBytes(pty_.MasterFd(), kVoltageRequest.size(), 1s).size(),
              kVoltageRequest.size());
  }
  bool AwaitReceived(std::size_t count, std::chrono::milliseconds timeout = 2s) {
    return RunUntil([&] { return received_.size() >= count; }, timeout);
  }
  void Write(const Bytes& bytes) { WriteBytes(pty_.MasterFd(), bytes); }
  // Waits for the first thing handed up, lets `settle` pass, and expects `bytes` of `kind` alone.
  void ExpectOnly(Kind kind, const Bytes& bytes, std::chrono::milliseconds settle = 0ms) {
    ASSERT_TRUE(AwaitReceived(1));
    RunFor(settle);
    EXPECT_EQ(received_, (std::vector<Received>{{kind, bytes}}));
  }

  sim::PtyPair pty_;
  FixedPortMap map_;
  QtSerialLine line_;
  std::vector<Received> received_;
  int lost_ = 0;
};

TEST_F(QtSerialLineTest, OpensOnlyAPortWithADeviceThatIsFree) {
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_EQ(line_.Name(), "");
  EXPECT_FALSE(line_.Send(kVoltageRequest, ReplyShape::For(kVoltageRequest)));

  Open();
  EXPECT_TRUE(line_.IsOpen());
  EXPECT_EQ(line_.Name(), "COM1");

  // Another program (here another line) cannot take the port while it is held.
  QtSerialLine other(map_);
  EXPECT_FALSE(other.Open(LineAddress::Port(1)));
  EXPECT_FALSE(other.IsOpen());

  line_.Close();
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_EQ(line_.Name(), "");
  EXPECT_TRUE(other.Open(LineAddress::Port(1)));  // free again
  EXPECT_EQ(lost_, 0);
}

// A failed open leaves no port open at all (the factory's tests open one kind after another).
TEST_F(QtSerialLineTest, AFailedOpenClosesTheOneInUse) {
  Open();
  EXPECT_FALSE(line_.Open(LineAddress::Port(9)));
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_TRUE(QtSerialLine(map_).Open(LineAddress::Port(1)));
}

// Every request of the tool reaches the other end whole and alone, although the line drops what
// waits before each one, and although the event loop does not run meanwhile.
TEST_F(QtSerialLineTest, EveryRequestArrivesWholeAtTheOtherEnd) {
  Open();
  const RequestLayout layouts[] = {
      {0, reg::kFnWriteSingleRegister, reg::kBusAddress, 5},
      {5, reg::kFnWriteSingleRegister, reg::kBusAddress, 5},
      {0, reg::kFnReadHoldingRegisters, reg::kBusAddress, 1},
      {5, reg::kFnWriteSingleRegister, reg::kStartMeasurement, 1},
      {5, reg::kFnReadHoldingRegisters, reg::kResistance, 2},
      {5, reg::kFnReadHoldingRegisters, reg::kVoltage, 1},
  };
  for (const RequestLayout& layout : layouts) {
    const RequestFrame frame = BuildRequestFrame(layout);
    SCOPED_TRACE(int(frame[3]));
    ASSERT_TRUE(line_.Send(frame, std::nullopt));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ReadBytes(pty_.MasterFd(), frame.size(), 500ms), Bytes(frame.begin(), frame.end()));
    EXPECT_TRUE(ReadBytes(pty_.MasterFd(), 1, 20ms).empty());
  }
}

// Bytes that cannot be the reply are handed up once the line has been silent for the gap, 50 ms;
// a wrong CRC and a refusal when their last byte is in, not after the gap (a loaded machine may
// add a little).
TEST_F(QtSerialLineTest, StraysWaitForTheGapAndTheRestIsHandedUpAtOnce) {
  EXPECT_EQ(kFrameGap, 50ms);
  Open();
  const struct {
    const char* bytes;
    Kind kind;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds below;
  } cases[] = {{"05 41 42", Kind::kStray, 45ms, 2s},
               {"01 03 02 00 DC 46 22", Kind::kCorrupt, 0ms, kFrameGap + 150ms},
               {"01 83 04 40 F3", Kind::kRefusal, 0ms, kFrameGap + 150ms}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    AskVoltage();
    received_.clear();
    const auto start = SteadyClock::now();
    Write(Hex(c.bytes));
    ExpectOnly(c.kind, Hex(c.bytes));
    EXPECT_GE(SteadyClock::now() - start, c.atLeast);
    EXPECT_LT(SteadyClock::now() - start, c.below);
  }
}

// What waits when a request goes out is dropped: a reply in assembly, and a whole stale reply
// still in the port's queue that the loop has not read yet.
TEST_F(QtSerialLineTest, SendingDropsWhatWaits) {
  Open();
  AskVoltage();
  Write(Hex("01 03 02"));
  RunFor(10ms);
  Write(Hex("01 03 02 00 63 F8 6D"));  // 99 V, unread
  std::this_thread::sleep_for(10ms);   // the terminal passes it to the port's side
  AskVoltage();
  Write(kVoltageReply);
  ExpectOnly(Kind::kReply, kVoltageReply, kFrameGap + 30ms);
}

TEST_F(QtSerialLineTest, AFloodNeverHoldsMoreThanTheReceiveBufferAndTheLineWorksAfter) {
  Open();
  AskVoltage();
  // Bytes that never make the reply (function 0x41), 8 KiB with no pause longer than the loop
  // takes to read them.
  const Bytes chunk(256, 0x41);
  for (int i = 0; i < 32; ++i) {
    Write(chunk);
    QCoreApplication::processEvents();
  }
  ASSERT_TRUE(AwaitReceived(1));
  RunFor(kFrameGap + 50ms);
  std::size_t total = 0;
  for (const Received& r : received_) {
    EXPECT_EQ(r.kind, Kind::kStray);
    EXPECT_LE(r.bytes.size(), kReceiveBufferSize);
    total += r.bytes.size();
  }
  EXPECT_GT(total, 0U);
  EXPECT_LE(total, 32U * chunk.size());

  received_.clear();
  AskVoltage();
  Write(kVoltageReply);
  ExpectOnly(Kind::kReply, kVoltageReply);
}

// The other end goes away (a pulled adapter): the line closes and says so once, at once; a new
// device at the same number opens again.
TEST_F(QtSerialLineTest, AHangUpClosesTheLineAndIsToldOnceAtOnce) {
  auto gone = std::make_unique<sim::PtyPair>();
  map_.Set(3, gone->SlavePath());
  ASSERT_TRUE(line_.Open(LineAddress::Port(3)));
  ASSERT_TRUE(line_.Send(kVoltageRequest, ReplyShape::For(kVoltageRequest)));
  const auto start = SteadyClock::now();
  gone->CloseMaster();
  ASSERT_TRUE(RunUntil([&] { return lost_ > 0; }, 2s));
  EXPECT_LT(SteadyClock::now() - start, 200ms);
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_EQ(line_.Name(), "");
  RunFor(100ms);
  EXPECT_EQ(lost_, 1);
  EXPECT_TRUE(received_.empty());

  sim::PtyPair back;
  map_.Set(3, back.SlavePath());
  ASSERT_TRUE(line_.Open(LineAddress::Port(3)));
  ASSERT_TRUE(line_.Send(kVoltageRequest, ReplyShape::For(kVoltageRequest)));
  EXPECT_EQ(ReadBytes(back.MasterFd(), 8, 1s).size(), 8U);
  WriteBytes(back.MasterFd(), kVoltageReply);
  ASSERT_TRUE(AwaitReceived(1));
  EXPECT_EQ(received_, (std::vector<Received>{{Kind::kReply, kVoltageReply}}));
}

// A detector that answers the moment the request is in (as on a pseudo-terminal, or an adapter
// that echoes while the request is still being drained): every reply on a freshly opened port
// is handed up. Forty ports, one exchange each.
TEST(QtSerialLineExchanges, AReplyThatComesAsTheRequestLeavesIsNeverLost) {
  int lost = 0;
  for (int round = 0; round < 40; ++round) {
    sim::SimulatedDetector detector({.address = 1});
    FixedPortMap map({{1, detector.SlavePath()}});
    QtSerialLine line(map);
    std::vector<Received> received;
    line.SetOnReceived([&](const Received& r) { received.push_back(r); });
    ASSERT_TRUE(line.Open(LineAddress::Port(1)));
    ASSERT_TRUE(line.Send(kVoltageRequest, ReplyShape::For(kVoltageRequest)));
    ASSERT_TRUE(detector.WaitForExchanges(1, 2s));
    if (!RunUntil([&] { return !received.empty(); }, 1s)) ++lost;
  }
  EXPECT_EQ(lost, 0) << "replies never handed up, of 40";
}

}  // namespace
}  // namespace karvello
