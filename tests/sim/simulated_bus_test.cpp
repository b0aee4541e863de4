// Several simulated detectors on one line.

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "framing/crc16.h"
#include "sim/simulated_detector.h"
#include "sim/slave_port.h"
#include "support/case_names.h"
#include "support/hex_bytes.h"

namespace karvello::sim {
namespace {

using test::PrintTo;
using namespace std::chrono_literals;
using testing::Hex;
using testing::SlavePort;

// Detectors at 3, 7 and 200, each with its own reading and voltage; measurements end at once.
std::vector<DetectorConfig> ThreeDetectors() {
  return {
      {.address = 3, .resistance = 1234, .decimalCount = 2, .voltage = 231, .measurementTime = 0ms},
      {.address = 7, .resistance = 567, .voltage = 230, .measurementTime = 0ms},
      {.address = 200, .voltage = 380, .measurementTime = 0ms},
  };
}

std::vector<std::uint8_t> Joined(const std::vector<Piece>& pieces) {
  std::vector<std::uint8_t> bytes;
  for (const auto& piece : pieces)
    bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
  return bytes;
}

using Step = std::pair<const char*, const char*>;  // a request and its reply (empty: none)

struct BusCase {
  const char* name;
  std::vector<Step> steps;
  std::uint8_t faultAt = 0;  // 0: no fault
  Fault fault = {};
  int times = kPersistent;
  std::vector<DetectorConfig> bus = ThreeDetectors();
};

class BusTest : public ::testing::TestWithParam<BusCase> {};

// Each step's reply, and one exchange per request in the log, whatever number of detectors
// answered it.
TEST_P(BusTest, AnswersAsTheDetectorsAddressed) {
  const BusCase& c = GetParam();
  SimulatedDetector bus(c.bus, LineConfig{});
  if (c.faultAt != 0) {
    EXPECT_EQ(bus.SetFault(c.faultAt, c.fault, c.times), 1U);
  }
  for (const auto& [request, reply] : c.steps) {
    EXPECT_EQ(Joined(bus.Respond(Hex(request))), Hex(reply)) << request;
  }
  const std::vector<Exchange> log = bus.Exchanges();
  ASSERT_EQ(log.size(), c.steps.size());
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].request, Hex(c.steps[i].first));
    EXPECT_EQ(log[i].reply, Hex(c.steps[i].second));
  }
}

const BusCase kBuses[] = {
    {"EachItsOwnVoltage",
     {{"03 03 00 0F 00 01 B5 EB", "03 03 02 00 E7 81 CE"},
      {"07 03 00 0F 00 01 B4 6F", "07 03 02 00 E6 B1 CE"},
      {"C8 03 00 0F 00 01 A5 90", "C8 03 02 01 7C 64 25"}}},
    {"AbsentAddressUnanswered",
     {{"32 03 00 0F 00 01 B1 CA", ""}, {"C8 03 00 12 00 01 35 96", "C8 03 02 00 C8 65 C2"}}},
    {"BroadcastStartThenEachItsOwnReading",
     {{"00 06 00 11 00 01 19 DE", ""},
      {"03 03 00 0D 00 02 54 2A", "03 03 04 04 D2 00 02 F9 3B"},
      {"07 03 00 0D 00 02 55 AE", "07 03 04 02 37 00 01 ED 85"}}},
    // 3, 7 and 200 begin three bit times apart; the lows of all three reach the tool.
    {"BroadcastReadOfAddressCollides", {{"00 03 00 12 00 01 25 DE", "03 00 00 00 00 00 00 FC"}}},
    {"BroadcastAddressTakenByAll",
     {{"00 06 00 12 00 09 E8 18", ""},
      {"03 03 00 0F 00 01 B5 EB", ""},
      {"09 03 00 0F 00 01 B5 41", "09 00 00 00 00 01 01 FE"}}},
    {"SharedAddressAnswersAtOnce",
     {{"07 03 00 12 00 01 24 69", "03 02 02 00 02 00 02 FF"},
      {"07 03 00 0F 00 01 B4 6F", "03 02 02 00 22 81 42 FE"}},
     0,
     {},
     kPersistent,
     {{.address = 7, .voltage = 230}, {.address = 7, .voltage = 231}}},
    {"FaultOnOneDetectorOnly",
     {{"07 03 00 0F 00 01 B4 6F", "07 03 02 00 E6 4E 31"},
      {"03 03 00 0F 00 01 B5 EB", "03 03 02 00 E7 81 CE"},
      {"07 03 00 0F 00 01 B4 6F", "07 03 02 00 E6 B1 CE"}},
     7,
     Fault::BadCrc(),
     1},
    {"StrayInFrontOfOneDetectorsReplies",
     {{"07 03 00 12 00 01 24 69", "FF 07 03 02 00 07 71 86"},
      {"C8 03 00 12 00 01 35 96", "C8 03 02 00 C8 65 C2"},
      {"07 03 00 0F 00 01 B4 6F", "FF 07 03 02 00 E6 B1 CE"}},
     7,
     Fault::Stray({0xFF})},
    {"SilentDetectorLeavesTheOthers",
     {{"C8 03 00 0F 00 01 A5 90", ""}, {"03 03 00 0F 00 01 B5 EB", "03 03 02 00 E7 81 CE"}},
     200,
     Fault::NoReply()}};

INSTANTIATE_TEST_SUITE_P(Bus, BusTest, ::testing::ValuesIn(kBuses), test::CaseName{});

TEST(SimulatedBus, SettingsByAddressReachOnlyTheDetectorsThere) {
  SimulatedDetector bus(ThreeDetectors(), LineConfig{});
  EXPECT_EQ(bus.SetFault(50, Fault::NoReply()), 0U);
  EXPECT_EQ(bus.SetPresent(7, false), 1U);
  EXPECT_TRUE(bus.Respond(Hex("07 03 00 0F 00 01 B4 6F")).empty());
  EXPECT_EQ(Joined(bus.Respond(Hex("03 03 00 0F 00 01 B5 EB"))), Hex("03 03 02 00 E7 81 CE"));
  const std::vector<DetectorConfig> now = bus.Detectors();
  ASSERT_EQ(now.size(), 3U);
  EXPECT_EQ(now[1].address, 7);
  EXPECT_FALSE(now[1].present);
  EXPECT_TRUE(now[2].present);
  EXPECT_THROW(SimulatedDetector({}, LineConfig{}), std::invalid_argument);
}

// A scan over the pseudo-terminal: detectors at 3, 7, 50 and 200, a stray byte in front of 7's
// reply and a corrupt one from 50. The log holds one request per address, in order.
TEST(SimulatedBus, AScanOverThePseudoTerminal) {
  std::vector<DetectorConfig> detectors = ThreeDetectors();
  detectors.push_back({.address = 50});
  SimulatedDetector bus(detectors, LineConfig{});
  bus.SetFault(7, Fault::Stray({0xFF}));
  bus.SetFault(50, Fault::BadCrc());
  SlavePort port(bus.SlavePath());
  ASSERT_TRUE(port.IsOpen());

  const std::map<int, const char*> found = {
      {3, "03 03 02 00 03 81 85"},
      {7, "FF 07 03 02 00 07 71 86"},
      {50, "32 03 02 00 32 C2 6A"},
      {200, "C8 03 02 00 C8 65 C2"},
  };
  for (int address = 1; address <= 255; ++address) {
    std::vector<std::uint8_t> request = {static_cast<std::uint8_t>(address), 3, 0, 0x12, 0, 1};
    const std::uint16_t crc = Crc16(request);
    request.insert(request.end(),
                   {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)});
    ASSERT_TRUE(port.Write(request));
    ASSERT_TRUE(bus.WaitForExchanges(static_cast<std::size_t>(address), 2s)) << address;
  }
  const std::vector<std::uint8_t> heard = port.Read(500ms, 50ms).bytes;

  const std::vector<Exchange> log = bus.Exchanges();
  ASSERT_EQ(log.size(), 255U);
  std::vector<std::uint8_t> replies;
  for (std::size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(log[i].request[0], i + 1);
    const auto due = found.find(static_cast<int>(i + 1));
    const auto reply = due == found.end() ? std::vector<std::uint8_t>{} : Hex(due->second);
    EXPECT_EQ(log[i].reply, reply);
    replies.insert(replies.end(), reply.begin(), reply.end());
  }
  EXPECT_EQ(heard, replies);
}

}  // namespace
}  // namespace karvello::sim
