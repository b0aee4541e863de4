// A Modbus master that no one here wrote, mbpoll (on libmodbus), talks to the simulated detector
// over its pseudo-terminal. mbpoll numbers registers from 0 with -0.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "sim/simulated_detector.h"
#include "support/hex_bytes.h"
#include "support/mbpoll.h"

namespace karvello::sim {
namespace {

using namespace std::chrono_literals;
using testing::Hex;
using testing::MbpollRun;

// One mbpoll run over the detector's line.
MbpollRun Mbpoll(const SimulatedDetector& detector, const std::string& options,
                 const std::string& values = "") {
  return testing::Mbpoll(detector.SlavePath(), options, values);
}

TEST(Mbpoll, ReadsTheResultAndVoltageInOneRequest) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector(DetectorConfig{.measurementTime = 100ms});
  const MbpollRun start = Mbpoll(detector, "-a 1 -r 17", "1");
  EXPECT_EQ(start.status, 0) << start.output;
  EXPECT_NE(start.output.find("Written 1 references."), std::string::npos) << start.output;
  std::this_thread::sleep_for(150ms);

  const MbpollRun read = Mbpoll(detector, "-a 1 -r 13 -c 3");
  EXPECT_EQ(read.status, 0) << read.output;
  EXPECT_NE(read.output.find("[13]: \t345\n[14]: \t1\n[15]: \t220\n"), std::string::npos)
      << read.output;
  // The detector logs an exchange just after writing its reply: mbpoll may be done before.
  ASSERT_TRUE(detector.WaitForExchanges(2, 1s));
  const std::vector<Exchange> log = detector.Exchanges();
  ASSERT_EQ(log.size(), 2U);
  EXPECT_EQ(log.back().request, Hex("01 03 00 0D 00 03 94 08"));
}

TEST(Mbpoll, WritesTheBusAddress) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector;
  const MbpollRun write = Mbpoll(detector, "-a 1 -r 18", "7");
  EXPECT_EQ(write.status, 0) << write.output;
  EXPECT_NE(write.output.find("Written 1 references."), std::string::npos) << write.output;
  EXPECT_EQ(detector.Address(), 7);

  const MbpollRun read = Mbpoll(detector, "-a 7 -r 18");
  EXPECT_EQ(read.status, 0) << read.output;
  EXPECT_NE(read.output.find("[18]: \t7\n"), std::string::npos) << read.output;
}

// What a master on libmodbus makes of the detector's refusals and the line's faults: a register
// beyond the map is refused and a wrong CRC caught; a reply split in two, a 60 ms pause after
// its head and one that trickles in at the 9600-baud pace are still the reply; noise after it
// does not spoil it; a stray byte in front of it does.
TEST(Mbpoll, UnderstandsTheDetectorsRefusalsAndTheLinesFaults) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector;
  struct Case {
    const char* name;
    Fault fault;
    const char* registers;
    bool accepted;     // the value 220 read
    const char* says;  // a part of mbpoll's output
  };
  const Case cases[] = {
      {"beyond the map", Fault(), "-a 1 -r 32", false, "Illegal data address"},
      {"bad CRC", Fault::BadCrc(), "-a 1 -r 15", false, "Invalid CRC"},
      {"split", Fault::Split({3}, 20ms), "-a 1 -r 15", true, ""},
      {"pause", Fault::PauseAfter(2, 60ms), "-a 1 -r 15", true, ""},
      {"trickle", Fault::Trickle(), "-a 1 -r 15", true, ""},
      {"noise after", Fault::NoiseAfter({0xA5, 0xA5, 0xA5}, 10ms), "-a 1 -r 15", true, ""},
      {"stray 00", Fault::Stray({0x00}), "-a 1 -r 15", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    detector.SetFault(c.fault, 1);
    const MbpollRun run = Mbpoll(detector, c.registers);
    EXPECT_EQ(run.status == 0, c.accepted) << run.output;
    EXPECT_EQ(run.output.find("[15]: \t220\n") != std::string::npos, c.accepted) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    detector.ClearFault();
  }
}

// A Modbus TCP master written elsewhere (mbpoll, on libmodbus) reads and writes the registers.
TEST(ModbusTcp, MbpollReadsAndWritesOverIt) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector({{}}, LineConfig{}, TcpListener("127.0.0.1", 0),
                             {TcpConfig::Framing::kModbusTcp, true});
  const testing::MbpollRun read = testing::MbpollTcp(detector.Listener()->Port(), "-a 1 -r 15");
  EXPECT_EQ(read.status, 0) << read.output;
  EXPECT_NE(read.output.find("[15]: \t220\n"), std::string::npos) << read.output;
  const testing::MbpollRun write =
      testing::MbpollTcp(detector.Listener()->Port(), "-a 1 -r 18", "7");
  EXPECT_EQ(write.status, 0) << write.output;
  EXPECT_EQ(detector.Address(), 7);
  const testing::MbpollRun absent = testing::MbpollTcp(detector.Listener()->Port(), "-a 1 -r 15");
  EXPECT_NE(absent.status, 0) << absent.output;
  EXPECT_NE(absent.output.find("ailed to respond"), std::string::npos) << absent.output;
}

}  // namespace
}  // namespace karvello::sim
