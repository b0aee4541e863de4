// The simulated detector serving a line opened elsewhere, as karvello-sim --device does.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <system_error>
#include <vector>

#include "raw_terminal.h"
#include "sim/pty_pair.h"
#include "sim/serial_device.h"
#include "sim/simulated_detector.h"
#include "support/hex_bytes.h"

namespace karvello::sim {
namespace {

using namespace std::chrono_literals;
using testing::Hex;

// Writes `request` on `fd` and gathers what comes back until `length` bytes or a second passes.
std::vector<std::uint8_t> Ask(int fd, const std::vector<std::uint8_t>& request,
                              std::size_t length) {
  return testing::Ask(fd, request, length, 0ms, 1s);
}

TEST(SerialDevice, TheDetectorServesALineHandedToIt) {
  PtyPair line;  // this end stands for the tool's port
  SimulatedDetector detector(DetectorConfig{.address = 4, .voltage = 380},
                             OpenSerialDevice(line.SlavePath()));
  EXPECT_EQ(detector.SlavePath(), "");
  // The broadcast read of the address and a read of the voltage, answered on the line.
  EXPECT_EQ(Ask(line.MasterFd(), Hex("00 03 00 12 00 01 25 DE"), 7), Hex("04 03 02 00 04 75 87"));
  EXPECT_EQ(Ask(line.MasterFd(), Hex("04 03 00 0F 00 01 B4 5C"), 7), Hex("04 03 02 01 7C 74 35"));
  ASSERT_TRUE(detector.WaitForExchanges(2, 1s));
  EXPECT_EQ(detector.Exchanges().back().reply, Hex("04 03 02 01 7C 74 35"));

  detector.Unplug();  // closes the line it was handed; nothing answers any more
  EXPECT_TRUE(Ask(line.MasterFd(), Hex("04 03 00 0F 00 01 B4 5C"), 7).empty());
}

TEST(SerialDevice, OpeningSetsTheLineToRaw9600EightNoneOne) {
  PtyPair line;
  const int other = testing::OpenCooked(line.SlavePath());
  ASSERT_NE(testing::NotRaw9600(other), "");
  const int fd = OpenSerialDevice(line.SlavePath());
  EXPECT_EQ(testing::NotRaw9600(other), "");
  close(other);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
}

TEST(SerialDevice, ADeviceThatIsNotASerialLineIsRefused) {
  for (const char* path : {"/dev/null", "/nonexistent/ttyUSB0"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(OpenSerialDevice(path), std::system_error);
  }
}

}  // namespace
}  // namespace karvello::sim
