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

TEST(Mbpoll, UnderstandsTheDetectorsRefusalsAndFaults) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector;
  const MbpollRun beyond = Mbpoll(detector, "-a 1 -r 32");
  EXPECT_NE(beyond.status, 0);
  EXPECT_NE(beyond.output.find("Illegal data address"), std::string::npos) << beyond.output;

  detector.SetFault(Fault::BadCrc(), 1);
  const MbpollRun corrupt = Mbpoll(detector, "-a 1 -r 15");
  EXPECT_NE(corrupt.status, 0);
  EXPECT_NE(corrupt.output.find("Invalid CRC"), std::string::npos) << corrupt.output;

  detector.SetFault(Fault::Split({3}, 20ms), 1);
  const MbpollRun split = Mbpoll(detector, "-a 1 -r 15");
  EXPECT_EQ(split.status, 0) << split.output;
  EXPECT_NE(split.output.find("[15]: \t220\n"), std::string::npos) << split.output;
}

// What a master on libmodbus makes of the line's other faults: a 60 ms pause after the reply's
// head and a reply that trickles in at the 9600-baud pace are still the reply; noise after it does
// not spoil it; a stray byte in front of it does.
TEST(Mbpoll, TakesAPausedOrTrickledReplyButNotOneBehindAStrayByte) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector;
  struct Case {
    const char* name;
    Fault fault;
    bool accepted;
  };
  const Case cases[] = {
      {"pause", Fault::PauseAfter(2, 60ms), true},
      {"trickle", Fault::Trickle(), true},
      {"noise after", Fault::NoiseAfter({0xA5, 0xA5, 0xA5}, 10ms), true},
      {"stray 00", Fault::Stray({0x00}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    detector.SetFault(c.fault, 1);
    const MbpollRun run = Mbpoll(detector, "-a 1 -r 15");
    EXPECT_EQ(run.status == 0 && run.output.find("[15]: \t220\n") != std::string::npos, c.accepted)
        << run.output;
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
