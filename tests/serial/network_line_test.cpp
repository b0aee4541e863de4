// The line over TCP: to a Modbus TCP gateway played by the test (its frames exact, its replies
// judged as on a serial line, the outcome's frames the bytes that crossed the wire, broadcasts
// refused before anything is sent), to pymodbus's server
// with mbpoll reading the same register beside it, and the ways a connection fails: refused, a
// host that does not answer, dropped, made again by the next request, paced as told.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "framing/frame_text.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "support/event_loop.h"
#include "support/hex_bytes.h"
#include "support/tcp_servers.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testing::Hex;
using testing::PlayedGateway;
using testing::RunUntil;

LineAddress At(const std::string& text) {
  return *ParseLineAddress(text);
}

// The gateway's reply to `request` (an MBAP request): its transaction, `unit` and `pdu`.
Bytes Reply(const Bytes& request, std::uint8_t unit, const Bytes& pdu, int transactionOffset = 0) {
  const int transaction = (request[0] << 8 | request[1]) + transactionOffset;
  Bytes reply(7 + pdu.size());
  reply[0] = static_cast<std::uint8_t>(transaction >> 8);
  reply[1] = static_cast<std::uint8_t>(transaction & 0xFF);
  reply[5] = static_cast<std::uint8_t>(pdu.size() + 1);
  reply[6] = unit;
  std::copy(pdu.begin(), pdu.end(), reply.begin() + 7);
  return reply;
}

struct Desk {
  explicit Desk(const std::string& address, NetworkSettings settings = {}) {
    line.SetNetworkSettings(settings);
    opened = line.Open(At(address));
    engine.SetOnOutcome([this](const Outcome& outcome) { outcomes.push_back(outcome); });
  }
  // Starts `request` and waits for its outcome; a silent server's time-out is run out after
  // `patience` rather than waited for.
  std::optional<Outcome> Run(const Request& request, std::chrono::milliseconds patience = 400ms) {
    const std::size_t before = outcomes.size();
    engine.Start(request);
    if (!RunUntil([&] { return outcomes.size() > before; }, patience)) {
      engine.RunOut(request.operation, Engine::Wait::kTimeout);
    }
    if (outcomes.size() <= before) return std::nullopt;
    return outcomes.back();
  }

  FixedPortMap ports;
  QtSerialLine line{ports};
  bool opened = false;
  Engine engine{line};
  std::vector<Outcome> outcomes;
};

const Request kVoltage5{Operation::kQueryVoltage, 5};

using Piece = PlayedGateway::Piece;
using Answer = std::function<std::vector<Piece>(const Bytes&)>;

// A gateway that answers each request with `pdu` from `unit`, or with `piece` as it is.
Answer Says(std::uint8_t unit, const char* pdu) {
  return [=](const Bytes& q) { return std::vector{Piece{0ms, Reply(q, unit, Hex(pdu))}}; };
}
Answer Sends(const Piece& piece) {
  return [=](const Bytes&) { return std::vector{piece}; };
}

std::string Local(const char* scheme, quint16 port) {
  return std::string(scheme) + "127.0.0.1:" + std::to_string(port);
}

TEST(ModbusTcpLine, SendsEachRequestWithATransactionOfItsOwnAndJudgesTheReplyAsOnASerialLine) {
  const char* const volts = "TT TT 00 00 00 05 05 03 02 00 DC";
  const struct {
    const char* name;
    Answer answer;
    Result result;
    const char* reply;  // the reply as it came, "TT TT" the request's transaction
  } cases[] = {
      {"Answered", Says(5, "03 02 00 DC"), Result::kAnswered, volts},
      {"AReplyOfAnEarlierTransactionFirst",
       [](const Bytes& q) {
         return std::vector{Piece{0ms, Reply(q, 5, Hex("03 02 00 01"), -1)},
                            Piece{30ms, Reply(q, 5, Hex("03 02 00 DC"))}};
       },
       Result::kAnswered, volts},
      {"SplitAcrossWrites",
       [](const Bytes& q) {
         const Bytes whole = Reply(q, 5, Hex("03 02 00 DC"));
         return std::vector{Piece{0ms, Bytes(whole.begin(), whole.begin() + 4)},
                            Piece{120ms, Bytes(whole.begin() + 4, whole.end())}};
       },
       Result::kAnswered, volts},
      {"Refused", Says(5, "83 02"), Result::kRefused, "TT TT 00 00 00 03 05 83 02"},
      {"FromAnotherUnit", Says(7, "03 02 00 DC"), Result::kCorrupt,
       "TT TT 00 00 00 05 07 03 02 00 DC"},
      {"TheWrongLength", Says(5, "03 04 00 DC 00 00"), Result::kCorrupt,
       "TT TT 00 00 00 07 05 03 04 00 DC 00 00"},
      {"NotModbus", Sends({0ms, Hex("FF FF 00 07 00 02 AA BB")}), Result::kCorrupt,
       "FF FF 00 07 00 02 AA BB"},
      {"Silent", [](const Bytes&) { return std::vector<Piece>{}; }, Result::kNoReply, ""},
      {"ClosedInstead", Sends({0ms, {}, true}), Result::kLineLost, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlayedGateway gateway;
    gateway.SetAnswer(c.answer);
    Desk desk(Local("tcp://", gateway.Port()));
    ASSERT_TRUE(desk.opened) << desk.line.OpenError();
    for (int round = 1; round <= 2; ++round) {
      const auto outcome = desk.Run(kVoltage5);
      ASSERT_TRUE(outcome.has_value());
      EXPECT_EQ(outcome->result, c.result);
      // The request and the reply as they crossed the wire: the MBAP frames, transaction by
      // transaction (a closed connection is made again for the second).
      const std::string transaction = round == 1 ? "00 01" : "00 02";
      std::string reply = c.reply;
      if (reply.starts_with("TT TT")) reply.replace(0, 5, transaction);
      EXPECT_EQ(HexText(outcome->reply), reply);
      ASSERT_EQ(gateway.requests.size(), static_cast<std::size_t>(round));
      EXPECT_EQ(HexText(gateway.requests.back()), transaction + " 00 00 00 06 05 03 00 0F 00 01");
      ASSERT_EQ(outcome->sent.size(), 1U);
      EXPECT_EQ(outcome->sent[0], gateway.requests.back());
    }
  }
}

TEST(ModbusTcpLine, RefusesTheBroadcastsBeforeAnythingIsSent) {
  PlayedGateway gateway;
  Desk desk(Local("tcp://", gateway.Port()));
  ASSERT_TRUE(desk.opened);
  EXPECT_FALSE(desk.line.CarriesBroadcasts());
  for (const Request& request :
       {Request{Operation::kSetAddress, 9}, Request{Operation::kQueryAddress, 0}}) {
    const auto outcome = desk.Run(request);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->result, Result::kNotSent);
    EXPECT_TRUE(outcome->sent.empty());
  }
  testing::RunFor(100ms);
  EXPECT_TRUE(gateway.bytesIn.empty());
  // The operations to one detector go.
  EXPECT_EQ(desk.Run(kVoltage5)->result, Result::kNoReply);
  EXPECT_EQ(gateway.requests.size(), 1U);
}

// A host that does not answer or does not exist: the line says why within its connect time-out
// (the factory's tests open a listening server and meet a refusing one).
TEST(NetworkLine, OpensOrSaysWhyWithinItsConnectTimeOut) {
  const struct {
    const char* name;
    std::string address;
    std::chrono::milliseconds within;
  } cases[] = {
      // TEST-NET-1 (RFC 5737): no host answers there.
      {"NoRoute", "tcp://192.0.2.1:502", 300ms + 700ms},
      {"NoSuchHost", "tcp://no-such-host.invalid", 3000ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QElapsedTimer clock;
    clock.start();
    Desk desk(c.address, {.connectTimeout = 300ms});
    EXPECT_FALSE(desk.opened);
    EXPECT_LT(clock.elapsed(), c.within.count());
    EXPECT_FALSE(desk.line.IsOpen());
    EXPECT_FALSE(desk.line.OpenError().empty());
    EXPECT_EQ(desk.line.Name(), "");
  }
}

TEST(NetworkLine, ADroppedConnectionIsALostLineAndTheNextRequestConnectsAgain) {
  PlayedGateway gateway;
  int requests = 0;
  gateway.SetAnswer([&](const Bytes& q) {
    // The first request: the connection closes; then it answers.
    return (++requests == 1 ? Sends({0ms, {}, true}) : Says(5, "03 02 00 DC"))(q);
  });
  Desk desk(Local("tcp://", gateway.Port()));
  bool told = false;
  desk.engine.SetOnLineLost([&] { told = true; });
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(desk.Run(kVoltage5, 1000ms)->result, Result::kLineLost);
  EXPECT_LT(clock.elapsed(), 1000);  // at once, not at the time-out
  EXPECT_TRUE(told);
  EXPECT_TRUE(desk.line.IsOpen());
  EXPECT_EQ(desk.Run(kVoltage5, 1000ms)->result, Result::kAnswered);
  EXPECT_EQ(gateway.connectionTimes.size(), 2U);
}

TEST(NetworkLine, WaitsAfterConnectingAndBetweenRequestsAsTold) {
  PlayedGateway gateway;
  gateway.SetAnswer(Says(5, "03 02 00 DC"));
  Desk desk(Local("tcp://", gateway.Port()), {.pauseAfterConnect = 300ms, .pause = 200ms});
  ASSERT_TRUE(desk.opened);
  EXPECT_EQ(desk.Run(kVoltage5, 1000ms)->result, Result::kAnswered);
  EXPECT_EQ(desk.Run(kVoltage5, 1000ms)->result, Result::kAnswered);
  ASSERT_EQ(gateway.requestTimes.size(), 2U);
  ASSERT_EQ(gateway.connectionTimes.size(), 1U);
  // A timer may run late on a loaded machine, never early.
  EXPECT_GE(gateway.requestTimes[0] - gateway.connectionTimes[0], 300 - 5);
  EXPECT_GE(gateway.requestTimes[1] - gateway.requestTimes[0], 200 - 5);
}

TEST(NetworkLine, ASilentServerTimesOutAtTheReplysTimeOut) {
  PlayedGateway gateway;
  Desk desk(Local("rtu+tcp://", gateway.Port()));
  QElapsedTimer clock;
  clock.start();
  desk.engine.Start(kVoltage5);
  ASSERT_TRUE(RunUntil([&] { return !desk.outcomes.empty(); }, 3s));
  EXPECT_EQ(desk.outcomes[0].result, Result::kNoReply);
  EXPECT_GE(clock.elapsed(), 1300);
  EXPECT_LT(clock.elapsed(), 1300 + 500);
}

#ifdef PYMODBUS_SERVER
// pymodbus's server, written elsewhere, holds the detector's voltage register; the tool reads it
// over Modbus TCP, and so does mbpoll.
TEST(ModbusTcpPeer, TheToolAndMbpollReadTheSameRegisterFromPymodbus) {
  const quint16 port = testing::FreePort();
  testing::ServerProcess server(QStringLiteral(PYTHON3_WITH_PYMODBUS),
                                {QStringLiteral(PYMODBUS_SERVER), QString::number(port),
                                 QStringLiteral("5"), QStringLiteral("15=231")},
                                port);
  ASSERT_TRUE(server.Ready()) << server.Output().toStdString();
  Desk desk(Local("tcp://", port));
  ASSERT_TRUE(desk.opened) << desk.line.OpenError();
  const auto outcome = desk.Run(kVoltage5, 2000ms);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->result, Result::kAnswered);
  EXPECT_EQ(ValueField(*outcome), "231");
  // The bytes that crossed the wire, not RTU frames with a CRC made up.
  ASSERT_EQ(outcome->sent.size(), 1U);
  EXPECT_EQ(HexText(outcome->sent[0]), "00 01 00 00 00 06 05 03 00 0F 00 01");
  EXPECT_EQ(HexText(outcome->reply), "00 01 00 00 00 05 05 03 02 00 E7");

  const std::string command = std::string(MBPOLL_EXECUTABLE) + " -m tcp -a 5 -r 15 -t 4 -0 -1 -p " +
                              std::to_string(port) + " 127.0.0.1 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_NE(output.find("[15]: \t231"), std::string::npos) << output;
}
#endif

}  // namespace
}  // namespace karvello
