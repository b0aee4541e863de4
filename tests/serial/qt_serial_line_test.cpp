// The QSerialPort line over a real pseudo-terminal pair: what the tool writes reaches the other
// end whole, and what arrives is handed over as whole frames.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "framing/frames.h"
#include "serial/port_discovery.h"
#include "serial/qt_serial_control.h"
#include "sim/pty_pair.h"
#include "support/event_loop.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using Frames = std::vector<std::vector<std::uint8_t>>;
using testing::Hex;
using testing::RunFor;
using testing::RunUntil;

// Reads from `fd` until `count` bytes are in or `timeout` has passed.
std::vector<std::uint8_t> ReadBytes(int fd, std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<std::uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (bytes.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
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

void WriteBytes(int fd, const std::vector<std::uint8_t>& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class QtSerialControlTest : public ::testing::Test {
 protected:
  QtSerialControlTest() : map_({{1, pty_.SlavePath()}}), comm_(map_) {
    comm_.SetOnComm([this] {
      if (comm_.CommEvent() == SerialControl::kEvReceive) frames_.push_back(comm_.Input());
    });
  }

  void Open() {
    comm_.SetCommPort(1);
    ASSERT_TRUE(comm_.SetPortOpen(true));
  }

  sim::PtyPair pty_;
  FixedPortMap map_;
  QtSerialControl comm_;
  std::vector<std::vector<std::uint8_t>> frames_;
};

TEST_F(QtSerialControlTest, EveryFrameArrivesWholeAlthoughTheTransmitBufferIsClearedAtOnce) {
  Open();
  std::uint8_t lo = 0;
  std::uint8_t hi = 0;
  for (CommandCode code : {CMD_SET_ADDRESS, CMD_SET_ADDRESS_CONFIRM, CMD_QUERY_ADDRESS,
                           CMD_QUERY_RESISTANCE, CMD_READ_RESISTANCE, CMD_QUERY_VOLTAGE}) {
    const RequestFrame frame = BuildRequestFrame(code, "5", lo, hi);
    ASSERT_TRUE(comm_.Output(frame));
    comm_.ClearInBuffer();
    comm_.ClearOutBuffer();
    const auto received = ReadBytes(pty_.MasterFd(), frame.size(), 300ms);
    EXPECT_EQ(received, std::vector<std::uint8_t>(frame.begin(), frame.end())) << "code " << code;
    EXPECT_TRUE(ReadBytes(pty_.MasterFd(), 1, 20ms).empty()) << "code " << code;
  }
}

TEST_F(QtSerialControlTest, AFrameWrittenWhileTheLoopIsBusyStillGoesOutWhole) {
  Open();
  const RequestFrame frame = kQueryAddressFrame;
  ASSERT_TRUE(comm_.Output(frame));
  comm_.ClearOutBuffer();
  std::this_thread::sleep_for(20ms);  // the event loop does not run meanwhile
  EXPECT_EQ(ReadBytes(pty_.MasterFd(), frame.size(), 300ms),
            std::vector<std::uint8_t>(frame.begin(), frame.end()));
  EXPECT_TRUE(ReadBytes(pty_.MasterFd(), 1, 20ms).empty());
}

TEST_F(QtSerialControlTest, APortNumberThatDoesNotOpenLeavesThePortClosed) {
  comm_.SetCommPort(7);  // no device at 7
  EXPECT_FALSE(comm_.SetPortOpen(true));
  EXPECT_FALSE(comm_.PortOpen());
  EXPECT_FALSE(comm_.Output(kQueryAddressFrame));
  comm_.ClearInBuffer();
  comm_.ClearOutBuffer();
  EXPECT_FALSE(comm_.PortOpen());

  FixedPortMap gone({{1, "/dev/pts/no-such-terminal"}});
  QtSerialControl other(gone);
  other.SetCommPort(1);
  EXPECT_FALSE(other.SetPortOpen(true));
  EXPECT_FALSE(other.PortOpen());
}

TEST_F(QtSerialControlTest, AReplyInPiecesIsHandedOverOnceWhenItsLastByteIsIn) {
  Open();
  const auto reply = Hex("01 03 04 01 59 00 01 EA 1C");
  for (std::size_t cut = 1; cut < reply.size(); ++cut) {
    frames_.clear();
    WriteBytes(pty_.MasterFd(), {reply.begin(), reply.begin() + static_cast<long>(cut)});
    RunFor(20ms);
    EXPECT_TRUE(frames_.empty()) << "cut " << cut;
    WriteBytes(pty_.MasterFd(), {reply.begin() + static_cast<long>(cut), reply.end()});
    ASSERT_TRUE(RunUntil([&] { return !frames_.empty(); }, 500ms)) << "cut " << cut;
    EXPECT_EQ(frames_, Frames{reply}) << "cut " << cut;
  }
}

TEST_F(QtSerialControlTest, BytesOfUnknownLengthAreHandedOverWhenTheLineFallsSilent) {
  Open();
  const auto noise = Hex("05 41 42");
  const auto start = std::chrono::steady_clock::now();
  WriteBytes(pty_.MasterFd(), noise);
  ASSERT_TRUE(RunUntil([&] { return !frames_.empty(); }, 1s));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(frames_, Frames{noise});
  EXPECT_GE(waited, kFrameGap - 5ms);
  EXPECT_LT(waited, kFrameGap + 200ms);
}

TEST_F(QtSerialControlTest, ClearingTheReceiveBufferDropsAFrameInAssembly) {
  Open();
  WriteBytes(pty_.MasterFd(), Hex("05 03 02"));
  RunFor(10ms);
  comm_.ClearInBuffer();
  WriteBytes(pty_.MasterFd(), Hex("05 03 02 00 05 89 87"));
  ASSERT_TRUE(RunUntil([&] { return !frames_.empty(); }, 500ms));
  RunFor(80ms);
  EXPECT_EQ(frames_, Frames{Hex("05 03 02 00 05 89 87")});
}

TEST_F(QtSerialControlTest, AFloodWithoutAPauseNeverHoldsMoreThanTheReceiveBuffer) {
  Open();
  // Bytes that never make a frame the tool knows (function 0x41), 8 KiB with no pause longer
  // than the loop takes to read them.
  const std::vector<std::uint8_t> chunk(256, 0x41);
  for (int i = 0; i < 32; ++i) {
    WriteBytes(pty_.MasterFd(), chunk);
    QCoreApplication::processEvents();
  }
  ASSERT_TRUE(RunUntil([&] { return !frames_.empty(); }, 1s));
  RunFor(100ms);
  std::size_t total = 0;
  for (const auto& f : frames_) {
    EXPECT_LE(f.size(), kReceiveBufferSize);
    total += f.size();
  }
  EXPECT_GT(total, 0U);
  EXPECT_LE(total, 32U * chunk.size());

  // The line is usable again once the flood is over.
  frames_.clear();
  const auto reply = Hex("01 03 02 00 DC B9 DD");
  WriteBytes(pty_.MasterFd(), reply);
  ASSERT_TRUE(RunUntil([&] { return !frames_.empty(); }, 500ms));
  EXPECT_EQ(frames_, Frames{reply});
}

// Port discovery on real terminals put at chosen numbers.
TEST(PortDiscoveryOverPty, ListsThePortsThatOpenAndOpensTheFirst) {
  sim::PtyPair one, two, five, held;
  FixedPortMap map(
      {{1, one.SlavePath()}, {2, two.SlavePath()}, {5, five.SlavePath()}, {7, held.SlavePath()}});
  // Another program has port 7 open.
  FixedPortMap heldMap({{1, held.SlavePath()}});
  QtSerialControl other(heldMap);
  other.SetCommPort(1);
  ASSERT_TRUE(other.SetPortOpen(true));

  QtSerialControl comm(map);
  PortList list;
  list.SetOnSelected([&] { OpenSelectedPort(comm, list); });
  DiscoverPorts(comm, map, list);
  std::vector<std::string> texts;
  for (const auto& entry : list.Entries()) texts.push_back(entry.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"COM1", "COM2", "COM5"}));
  EXPECT_EQ(list.Entries()[2].tooltip, five.SlavePath());
  EXPECT_TRUE(comm.PortOpen());
  EXPECT_EQ(comm.CommPort(), 1);
  EXPECT_EQ(comm.DevicePath(), one.SlavePath());

  // Choosing the entry already open closes and reopens it; choosing another opens that one.
  ASSERT_TRUE(list.Select(0));
  EXPECT_TRUE(comm.PortOpen());
  ASSERT_TRUE(list.Select(2));
  EXPECT_TRUE(comm.PortOpen());
  EXPECT_EQ(comm.CommPort(), 5);
}

TEST(PortDiscoveryOverPty, TwoDigitPortNumbersAreReadWhole) {
  sim::PtyPair three, twelve;
  FixedPortMap map({{3, three.SlavePath()}, {12, twelve.SlavePath()}});
  QtSerialControl comm(map);
  PortList list;
  list.SetOnSelected([&] { OpenSelectedPort(comm, list); });
  DiscoverPorts(comm, map, list);
  ASSERT_EQ(list.Entries().size(), 2U);
  EXPECT_EQ(list.Entries()[1].text, "COM12");
  EXPECT_EQ(comm.CommPort(), 3);
  ASSERT_TRUE(list.Select(1));
  EXPECT_TRUE(comm.PortOpen());
  EXPECT_EQ(comm.CommPort(), 12);
  EXPECT_EQ(comm.DevicePath(), twelve.SlavePath());
}

TEST(PortDiscoveryOverPty, NoPortGivesAnEmptyListAndNoOpenPort) {
  FixedPortMap map;
  QtSerialControl comm(map);
  PortList list;
  list.SetOnSelected([&] { OpenSelectedPort(comm, list); });
  DiscoverPorts(comm, map, list);
  EXPECT_TRUE(list.Entries().empty());
  EXPECT_EQ(list.SelectedIndex(), -1);
  EXPECT_FALSE(comm.PortOpen());
}

}  // namespace
}  // namespace karvello
