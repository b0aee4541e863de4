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

// The run ended well (status 0) or not, as `ok` says, and its output holds `says`.
void ExpectRun(const MbpollRun& run, bool ok, const std::string& says) {
  EXPECT_EQ(run.status == 0, ok) << run.output;
  EXPECT_NE(run.output.find(says), std::string::npos) << run.output;
}

TEST(Mbpoll, ReadsTheResultAndVoltageInOneRequest) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector(DetectorConfig{.measurementTime = 100ms});
  ExpectRun(Mbpoll(detector, "-a 1 -r 17", "1"), true, "Written 1 references.");
  std::this_thread::sleep_for(150ms);

  ExpectRun(Mbpoll(detector, "-a 1 -r 13 -c 3"), true, "[13]: \t345\n[14]: \t1\n[15]: \t220\n");
  // The detector logs an exchange just after writing its reply: mbpoll may be done before.
  ASSERT_TRUE(detector.WaitForExchanges(2, 1s));
  const std::vector<Exchange> log = detector.Exchanges();
  ASSERT_EQ(log.size(), 2U);
  EXPECT_EQ(log.back().request, Hex("01 03 00 0D 00 03 94 08"));
}

TEST(Mbpoll, WritesTheBusAddress) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector;
  ExpectRun(Mbpoll(detector, "-a 1 -r 18", "7"), true, "Written 1 references.");
  EXPECT_EQ(detector.Address(), 7);

  ExpectRun(Mbpoll(detector, "-a 7 -r 18"), true, "[18]: \t7\n");
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
    ExpectRun(run, c.accepted, c.says);
    EXPECT_EQ(run.output.find("[15]: \t220\n") != std::string::npos, c.accepted) << run.output;
    detector.ClearFault();
  }
}

// A Modbus TCP master written elsewhere (mbpoll, on libmodbus) reads and writes the registers.
TEST(ModbusTcp, MbpollReadsAndWritesOverIt) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimulatedDetector detector({{}}, LineConfig{}, TcpListener("127.0.0.1", 0),
                             {TcpConfig::Framing::kModbusTcp, true});
  const std::uint16_t port = detector.Listener()->Port();
  ExpectRun(testing::MbpollTcp(port, "-a 1 -r 15"), true, "[15]: \t220\n");
  ExpectRun(testing::MbpollTcp(port, "-a 1 -r 18", "7"), true, "Written 1 references.");
  EXPECT_EQ(detector.Address(), 7);
  ExpectRun(testing::MbpollTcp(port, "-a 1 -r 15"), false, "ailed to respond");
}

}  // namespace
}  // namespace karvello::sim
