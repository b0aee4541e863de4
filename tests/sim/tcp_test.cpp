// The simulated detector served over TCP: its RTU frames on the stream as on a serial line, or
// Modbus TCP as a gateway in front of it gives it, to a plain POSIX socket client.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/modbus_tcp.h"
#include "sim/simulated_detector.h"
#include "sim/slave_port.h"
#include "support/case_names.h"
#include "support/hex_bytes.h"

namespace karvello::sim {
namespace {

using test::PrintTo;
using namespace std::chrono_literals;
using testing::Hex;
using testing::TcpClient;

// A detector at address 1 whose measurements end at once, served on a free port of 127.0.0.1.
SimulatedDetector Served(TcpConfig tcp = {}) {
  return SimulatedDetector({{.measurementTime = 0ms}}, LineConfig{}, TcpListener("127.0.0.1", 0),
                           tcp);
}

std::uint16_t PortOf(const SimulatedDetector& detector) {
  return detector.Listener()->Port();
}

// Sends `request` and returns what came back once the detector has dealt with it.
std::vector<std::uint8_t> Ask(SimulatedDetector& detector, TcpClient& client,
                              const std::string& request) {
  const std::size_t before = detector.ExchangeCount();
  EXPECT_TRUE(client.Write(Hex(request)));
  EXPECT_TRUE(detector.WaitForExchanges(before + 1, 2s)) << request;
  return client.Read(100ms, 30ms).bytes;
}

// The four operations of the tool, frame by frame, on the one connection: the address given 5
// and read back, a measurement started and read, the voltage.
TEST(RtuOverTcp, TheFourOperationsFramesAndReplies) {
  SimulatedDetector detector = Served();
  ASSERT_NE(PortOf(detector), 0);
  TcpClient client(PortOf(detector));
  ASSERT_TRUE(client.IsOpen());
  // Each request and its reply, if any.
  const std::pair<const char*, const char*> steps[] = {
      {"00 06 00 12 00 05 E8 1D", ""},
      {"05 06 00 12 00 05 E8 48", "05 06 00 12 00 05 E8 48"},
      {"00 03 00 12 00 01 25 DE", "05 03 02 00 05 89 87"},
      {"05 06 00 11 00 01 19 8B", "05 06 00 11 00 01 19 8B"},
      {"05 03 00 0D 00 02 54 4C", "05 03 04 01 59 00 01 AF DC"},
      {"05 03 00 0F 00 01 B5 8D", "05 03 02 00 DC 48 1D"},
  };
  for (const auto& [request, reply] : steps) EXPECT_EQ(Ask(detector, client, request), Hex(reply));
  const std::vector<Exchange> log = detector.Exchanges();
  ASSERT_EQ(log.size(), std::size(steps));
  EXPECT_EQ(log.back().request, Hex(steps[5].first));
  EXPECT_EQ(log.back().reply, Hex(steps[5].second));

  // The faults spoil the RTU reply as on a serial line, and bytes that make no request are
  // dropped.
  detector.SetFault(Fault::BadCrc(), 1);
  EXPECT_EQ(Ask(detector, client, "05 03 00 0F 00 01 B5 8D"), Hex("05 03 02 00 DC B7 E2"));
  detector.SetFault(Fault::Split({3}, 20ms), 1);
  EXPECT_EQ(Ask(detector, client, "05 03 00 0F 00 01 B5 8D"), Hex("05 03 02 00 DC 48 1D"));
  EXPECT_GE(detector.Exchanges().back().replyLastByte - detector.Exchanges().back().replyFirstByte,
            20ms);
  EXPECT_EQ(Ask(detector, client, "FF 05 03 00 0F 00 01 B5 8D"), Hex("05 03 02 00 DC 48 1D"));
  EXPECT_EQ(detector.DroppedBytes(), 1U);
}

// One client at a time: a new connection replaces the one before, and once a client has closed
// the next is served.
TEST(RtuOverTcp, ANewClientReplacesTheOldAndAClosedOneLeavesItListening) {
  SimulatedDetector detector = Served();
  const std::string voltage = "01 03 00 0F 00 01 B4 09";
  TcpClient first(PortOf(detector));
  EXPECT_EQ(Ask(detector, first, voltage), Hex("01 03 02 00 DC B9 DD"));
  TcpClient second(PortOf(detector));
  EXPECT_EQ(Ask(detector, second, voltage), Hex("01 03 02 00 DC B9 DD"));
  EXPECT_TRUE(first.Closed(1s));
  EXPECT_EQ(detector.Connections(), 2U);

  // Half a request, then gone: its bytes make no request, and the next client is served.
  ASSERT_TRUE(second.Write(Hex("01 03 00")));
  second.Close();
  TcpClient third(PortOf(detector));
  EXPECT_EQ(Ask(detector, third, voltage), Hex("01 03 02 00 DC B9 DD"));
  EXPECT_EQ(detector.DroppedBytes(), 3U);
  EXPECT_EQ(detector.Connections(), 3U);
}

// A client gone while its reply is still going out: the rest of the reply fails to go (no
// signal ends the process), and the next client is served.
TEST(RtuOverTcp, AClientGoneInTheMiddleOfItsReplyIsLetGo) {
  SimulatedDetector detector = Served();
  detector.SetFault(Fault::Split({2, 2}, 40ms), 1);
  {
    TcpClient gone(PortOf(detector));
    ASSERT_TRUE(gone.Write(Hex("01 03 00 0F 00 01 B4 09")));
    ASSERT_EQ(gone.Read(2s, 5ms).bytes, Hex("01 03"));
  }
  ASSERT_TRUE(detector.WaitForExchanges(1, 2s));
  EXPECT_LT(detector.Exchanges().back().reply.size(), 7U);
  TcpClient next(PortOf(detector));
  EXPECT_EQ(Ask(detector, next, "01 03 00 0F 00 01 B4 09"), Hex("01 03 02 00 DC B9 DD"));
}

struct MbapCase {
  const char* name;
  const char* request;
  const char* answer;  // empty: none
  bool gatewayExceptions = false;
  Fault fault = {};
};

class MbapTest : public ::testing::TestWithParam<MbapCase> {};

// Each answer byte for byte: the request's transaction id, protocol 0, the length of the unit id
// and PDU, the unit id, the PDU.
TEST_P(MbapTest, AnswersAsAGatewayInFrontOfTheDetector) {
  const MbapCase& c = GetParam();
  SimulatedDetector detector = Served({TcpConfig::Framing::kModbusTcp, c.gatewayExceptions});
  detector.SetFault(c.fault, 1);
  TcpClient client(PortOf(detector));
  EXPECT_EQ(Ask(detector, client, c.request), Hex(c.answer));
  testing::ExpectOneExchange(detector.Exchanges(), Hex(c.request), Hex(c.answer));
}

constexpr char kAskVolts[] = "12 34 00 00 00 06 01 03 00 0F 00 01";  // transaction 12 34, unit 1
const MbapCase kAnswers[] = {
    {"Voltage", kAskVolts, "12 34 00 00 00 05 01 03 02 00 DC"},
    {"WholeMap", "FF FE 00 00 00 06 01 03 00 0D 00 06",
     "FF FE 00 00 00 0F 01 03 0C 00 00 00 00 00 DC 00 00 00 00 00 01"},
    {"WriteEchoed", "00 07 00 00 00 06 01 06 00 11 00 01", "00 07 00 00 00 06 01 06 00 11 00 01"},
    {"RegisterBeyondMap", "00 05 00 00 00 06 01 03 00 20 00 01", "00 05 00 00 00 03 01 83 02"},
    {"UnknownFunction", "00 05 00 00 00 06 01 04 00 0D 00 01", "00 05 00 00 00 03 01 84 01"},
    {"BroadcastReadOfAddressKeepsUnitZero", "00 09 00 00 00 06 00 03 00 12 00 01",
     "00 09 00 00 00 05 00 03 02 00 01"},
    {"OtherUnitSilent", "00 01 00 00 00 06 02 03 00 0F 00 01", ""},
    {"OtherUnitGatewayException", "00 01 00 00 00 06 02 03 00 0F 00 01",
     "00 01 00 00 00 03 02 83 0B", true},
    {"BroadcastWriteSilentWithGatewayExceptions", "00 02 00 00 00 06 00 06 00 11 00 01", "", true},
    {"NoReplySilent", kAskVolts, "", false, Fault::NoReply()},
    {"NoReplyGatewayException", kAskVolts, "12 34 00 00 00 03 01 83 0B", true, Fault::NoReply()},
    {"BadCrcNotPassedOn", kAskVolts, "12 34 00 00 00 03 01 83 0B", true, Fault::BadCrc()},
    {"Exception", kAskVolts, "12 34 00 00 00 03 01 83 04", false, Fault::Exception(4)},
    {"OtherAddressChangesTheUnitId", kAskVolts, "12 34 00 00 00 05 06 03 02 00 DC", false,
     Fault::FromAddress(6)},
    {"Twice", kAskVolts, "12 34 00 00 00 05 01 03 02 00 DC 12 34 00 00 00 05 01 03 02 00 DC", false,
     Fault::Twice(10ms)},
    {"Truncated", kAskVolts, "12 34 00 00 00 05 01 03 02", false, Fault::Truncate(2)},
    {"StrayInFront", kAskVolts, "FF 12 34 00 00 00 05 01 03 02 00 DC", false,
     Fault::Stray({0xFF})}};

INSTANTIATE_TEST_SUITE_P(ModbusTcp, MbapTest, ::testing::ValuesIn(kAnswers), test::CaseName{});

// How the answer goes on the stream: a split in pieces across writes, a delay, and the time of
// the line behind the gateway when paced.
TEST(ModbusTcp, PiecesOfTheAnswer) {
  const std::vector<std::uint8_t> request = Hex("12 34 00 00 00 06 01 03 00 0F 00 01");
  const auto answer = [&](Fault fault, bool pacing) {
    return GatewayAnswer(request, {{Hex("01 03 02 00 DC B9 DD"), std::move(fault)}}, false, pacing);
  };
  const std::vector<Piece> split = answer(Fault::Split({3, 4}, 15ms), false);
  ASSERT_EQ(split.size(), 3U);
  EXPECT_EQ(split[0].bytes, Hex("12 34 00"));
  EXPECT_EQ(split[1].bytes, Hex("00 00 05 01"));
  EXPECT_EQ(split[2].bytes, Hex("03 02 00 DC"));
  EXPECT_EQ(split[1].pauseBefore, 15ms);
  EXPECT_EQ(answer(Fault::Delay(40ms), false).at(0).pauseBefore, 40ms);
  // 8 bytes of request and 7 of reply at 9600 baud behind the gateway.
  const std::vector<Piece> paced = answer({}, true);
  ASSERT_EQ(paced.size(), 1U);
  EXPECT_EQ(paced[0].pauseBefore, 15 * kByteTime);
  // Two detectors answering at once garble each other: the gateway has nothing to pass on.
  EXPECT_TRUE(GatewayAnswer(request,
                            {{Hex("01 03 02 00 DC B9 DD"), {}}, {Hex("01 03 02 00 DD 78 1D"), {}}},
                            false, false)
                  .empty());
}

// The stream: two ADUs in one write, one in two writes, and a header no ADU has, after which
// the client is let go and the next one served.
TEST(ModbusTcp, FindsEachAduOnTheStream) {
  SimulatedDetector detector = Served({TcpConfig::Framing::kModbusTcp});
  TcpClient client(PortOf(detector));
  ASSERT_TRUE(
      client.Write(Hex("00 01 00 00 00 06 01 03 00 0F 00 01 00 02 00 00 00 06 01 03 00 12 00 01")));
  ASSERT_TRUE(detector.WaitForExchanges(2, 2s));
  EXPECT_EQ(client.Read(100ms, 30ms).bytes,
            Hex("00 01 00 00 00 05 01 03 02 00 DC 00 02 00 00 00 05 01 03 02 00 01"));
  ASSERT_TRUE(client.Write(Hex("00 03 00 00 00 06 01")));
  EXPECT_TRUE(client.Read(50ms, 10ms).bytes.empty());
  EXPECT_EQ(Ask(detector, client, "03 00 0F 00 01"), Hex("00 03 00 00 00 05 01 03 02 00 DC"));

  std::size_t dropped = 0;
  for (const char* header : {"00 04 00 01 00 06", "00 04 00 00 00 01 01", "00 04 00 00 00 FF 01"}) {
    SCOPED_TRACE(header);
    TcpClient wrong(PortOf(detector));
    ASSERT_TRUE(wrong.Write(Hex(header)));
    EXPECT_TRUE(wrong.Closed(2s));
    dropped += Hex(header).size();
    EXPECT_EQ(detector.DroppedBytes(), dropped);
  }
  // The length at its edge: 254 (the unit id and 253 bytes of PDU) is taken, as a frame of
  // another function, and answered.
  TcpClient longest(PortOf(detector));
  std::vector<std::uint8_t> adu = Hex("00 05 00 00 00 FE 01 10");
  adu.resize(6 + 254, 0x00);
  const std::size_t before = detector.ExchangeCount();
  ASSERT_TRUE(longest.Write(adu));
  ASSERT_TRUE(detector.WaitForExchanges(before + 1, 2s));
  EXPECT_EQ(longest.Read(100ms, 30ms).bytes, Hex("00 05 00 00 00 03 01 90 01"));
}

}  // namespace
}  // namespace karvello::sim
