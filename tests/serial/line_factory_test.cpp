// The line opened by its address: the factory makes the backend each kind needs (a serial port
// found by its number or its path; a TCP connection to a serial server or a gateway), and each
// says why it did not open in the words the front ends tell.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "serial/qt_serial_line.h"
#include "sim/pty_pair.h"
#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/tcp_servers.h"

namespace karvello {
namespace {

TEST(LineFactory, EachAddressOpensItsBackendOrSaysWhyNot) {
  sim::PtyPair pty;
  const std::string missing = "/dev/pts/no-such-terminal";
  FixedPortMap ports({{1, pty.SlavePath()}, {2, missing}});
  testing::PlayedGateway listening;
  const std::string served = "127.0.0.1:" + std::to_string(listening.Port());
  const std::string refused = "127.0.0.1:" + std::to_string(testing::FreePort());
  const struct {
    std::string address;
    bool opens;
    bool broadcasts;     // the line says it carries them
    std::string device;  // the device told for a numbered port
    bool noDevice;
    bool errorTold;
  } cases[] = {
      {"COM1", true, true, "", false, false},
      {"COM2", false, true, missing, false, false},
      {"COM7", false, true, "", true, false},
      {pty.SlavePath(), true, true, "", false, false},
      {missing, false, true, "", false, false},
      {"rtu+tcp://" + served, true, true, "", false, false},
      {"tcp://" + served, true, false, "", false, false},
      {"rtu+tcp://" + refused, false, true, "", false, true},
      {"tcp://" + refused, false, true, "", false, true},  // not open: it refuses nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    QtSerialLine line(ports);
    line.SetNetworkSettings({.connectTimeout = std::chrono::milliseconds(1000)});
    EXPECT_EQ(line.Open(*ParseLineAddress(c.address)), c.opens) << line.OpenError();
    EXPECT_EQ(line.IsOpen(), c.opens);
    EXPECT_EQ(line.Name(), c.opens ? c.address : std::string());
    EXPECT_EQ(line.CarriesBroadcasts(), c.broadcasts);
    if (c.opens) continue;
    EXPECT_FALSE(line.OpenError().empty());
    EXPECT_EQ(line.Failure().device, c.device);
    EXPECT_EQ(line.Failure().noDevice, c.noDevice);
    EXPECT_EQ(line.Failure().errorTold, c.errorTold);
  }
}

// One line, opened from one kind to another: each open lets the backend before go.
TEST(LineFactory, OpeningAnotherKindLetsTheLineInUseGo) {
  sim::PtyPair pty;
  FixedPortMap ports({{1, pty.SlavePath()}});
  testing::PlayedGateway gateway;
  const LineAddress network =
      *ParseLineAddress("tcp://127.0.0.1:" + std::to_string(gateway.Port()));
  QtSerialLine line(ports);
  ASSERT_TRUE(line.Open(LineAddress::Port(1)));
  ASSERT_TRUE(line.Open(network));
  EXPECT_FALSE(line.CarriesBroadcasts());
  QtSerialLine other(ports);
  EXPECT_TRUE(other.Open(LineAddress::Port(1)));  // let go
  other.Close();
  ASSERT_TRUE(line.Open(LineAddress::Port(1)));
  EXPECT_TRUE(line.CarriesBroadcasts());
  EXPECT_EQ(line.Name(), "COM1");
}

// A line opened anew from inside the telling of its loss (as a watch reopens its line): the
// backend that told it is let go only once the event loop has come back.
TEST(LineFactory, ALineOpensAnewFromInsideTheTellingOfItsLoss) {
  auto gone = std::make_unique<sim::PtyPair>();
  sim::PtyPair next;
  FixedPortMap ports({{1, gone->SlavePath()}, {2, next.SlavePath()}});
  QtSerialLine line(ports);
  int lost = 0;
  line.SetOnLost([&] {
    ++lost;
    EXPECT_TRUE(line.Open(LineAddress::Port(2)));
  });
  ASSERT_TRUE(line.Open(LineAddress::Port(1)));
  gone->CloseMaster();
  ASSERT_TRUE(testing::RunUntil([&] { return lost > 0; }, std::chrono::seconds(2)));
  testing::RunFor(std::chrono::milliseconds(100));
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(line.Name(), "COM2");
}

}  // namespace
}  // namespace karvello
