// karvello-cli on network lines, run as a program: against the simulator serving TCP (RTU frames
// over TCP, and Modbus TCP as a gateway), against gateways played by the test, and against
// hosts that refuse or never answer. The values and statuses, the scan of a bus, the broadcasts
// kept off a Modbus TCP gateway, the record's port, and the options' edges.

#include <gtest/gtest.h>

#include <QSerialPort>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framing/frame_text.h"
#include "record/record.h"
#include "sim/simulated_detector.h"
#include "support/cli_process.h"
#include "support/hex_bytes.h"
#include "support/sim_process.h"
#include "support/tcp_servers.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using testing::FreePort;
using testing::PlayedGateway;
using testing::SimProcess;

QStringList On(const std::string& address, QStringList arguments) {
  return arguments << "-p" << QString::fromStdString(address);
}

// The simulator serving TCP on a free loopback port, with `options` besides.
std::unique_ptr<SimProcess> Serving(QStringList options) {
  return std::make_unique<SimProcess>(QStringList{"--listen", "127.0.0.1:0"} << options);
}

// A gateway's answer to a voltage request: the request's header, then the voltage 220 V.
std::vector<PlayedGateway::Piece> Voltage220(const std::vector<std::uint8_t>& request) {
  return {{0ms, {request[0], request[1], 0, 0, 0, 5, request[6], 0x03, 0x02, 0x00, 0xDC}, false}};
}

std::string Loopback(const char* scheme, quint16 port) {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
}

// The words of `line`, split at its spaces.
QStringList Words(const char* line) {
  return QString::fromUtf8(line).split(' ', Qt::SkipEmptyParts);
}

// Each command over each kind of line, with its value or its failure's status, and a scan that
// finds exactly the bus behind the server. All run side by side: the two resistances take the
// detector's 19 s.
TEST(CliNetwork, CommandsOverBothKindsOfLine) {
  const std::string bus =
      "address 3  found, voltage 220 V\naddress 7  found, voltage 220 V\n2 detector(s) found\n";
  const struct {
    const char* sim;
    const char* arguments;
    int status;
    std::string out;
  } cases[] = {
      {"", "voltage -a 1", 0, "220 V\n"},
      {"--address 9", "query-address", 0, "address 9\n"},
      {"", "set-address 7", 0, "address 7\n"},
      {"--measure-ms 18500", "resistance -a 1", 0, "34.5 Ω\n"},
      {"--fault bad-crc", "voltage -a 1", 5, ""},
      {"--fault no-reply", "voltage -a 1", 3, ""},
      {"--modbus-tcp --voltage 231", "voltage -a 1", 0, "231 V\n"},
      {"--modbus-tcp --measure-ms 18500 --resistance 5 --decimals 2", "resistance -a 1", 0,
       "0.05 Ω\n"},
      {"--modbus-tcp --address 5", "voltage -a 5", 0, "220 V\n"},
      {"--modbus-tcp --address 5", "voltage -a 6", 3, ""},
      // The gateway's "target device failed to respond" is no reply.
      {"--modbus-tcp --address 5 --gateway-exceptions", "voltage -a 6", 3, ""},
      {"--modbus-tcp --fault exception", "voltage -a 1", 4, ""},
      {"--bus 3,7", "scan --from 1 --to 8 --wait 50", 0, bus},
      {"--modbus-tcp --bus 3,7", "scan --from 1 --to 8 --wait 50", 0, bus},
  };
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::unique_ptr<Cli>> runs;
  for (const auto& c : cases) {
    sims.push_back(Serving(Words(c.sim)));
    ASSERT_FALSE(sims.back()->Path().empty()) << sims.back()->Output().toStdString();
    runs.push_back(std::make_unique<Cli>(On(sims.back()->Path(), Words(c.arguments))));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(sims[i]->Path() + " " + cases[i].arguments);
    EXPECT_EQ(runs[i]->Finish(30s), cases[i].status) << runs[i]->Err();
    EXPECT_EQ(runs[i]->Out(), cases[i].out);
    // A failure is one line on standard error.
    EXPECT_EQ(QString::fromStdString(runs[i]->Err()).count('\n'), cases[i].status == 0 ? 0 : 1)
        << runs[i]->Err();
  }
}

// Set address and query address are broadcasts: refused over tcp:// before any connection is
// made, naming what carries them.
TEST(CliNetwork, BroadcastsAreRefusedOverModbusTcp) {
  PlayedGateway gateway;
  gateway.SetAnswer(Voltage220);
  for (const QStringList& arguments : {QStringList{"set-address", "7"}, {"query-address"}}) {
    SCOPED_TRACE(arguments.join(' ').toStdString());
    Cli run(On(Loopback("tcp", gateway.Port()), arguments));
    EXPECT_EQ(run.FinishServing(), 2);
    EXPECT_EQ(run.Out(), "");
    const QString err = QString::fromStdString(run.Err());
    EXPECT_EQ(err.count('\n'), 1) << run.Err();
    EXPECT_TRUE(err.contains("rtu+tcp://") && err.contains("serial port")) << run.Err();
  }
  testing::RunFor(100ms);
  EXPECT_TRUE(gateway.connectionTimes.empty());
  EXPECT_TRUE(gateway.bytesIn.empty());
}

// A host that refuses, one that takes no connection, a gateway that closes on the request and
// one that never answers: each its status, within its time, never a hang.
TEST(CliNetwork, UnreachableOrBrokenServersEndInTime) {
  testing::FullListener full;
  ASSERT_NE(full.Port(), 0);
  PlayedGateway closing;
  closing.SetAnswer([](const std::vector<std::uint8_t>&) {
    return std::vector<PlayedGateway::Piece>{{0ms, {}, true}};
  });
  PlayedGateway silent;
  struct Case {
    const char* name;
    QStringList arguments;
    int status;
    std::chrono::milliseconds shortest;
    std::chrono::milliseconds longest;
  };
  const Case cases[] = {
      {"refused", On(Loopback("tcp", FreePort()), {"voltage", "-a", "1"}), 6, 0ms, 1000ms},
      {"refused, serial server", On(Loopback("rtu+tcp", FreePort()), {"scan"}), 6, 0ms, 1000ms},
      {"no connection",
       On(Loopback("tcp", full.Port()), {"voltage", "-a", "1", "--connect-timeout", "500"}), 6,
       450ms, 1500ms},
      {"closes", On(Loopback("tcp", closing.Port()), {"voltage", "-a", "1"}), 6, 0ms, 1000ms},
      {"silent", On(Loopback("tcp", silent.Port()), {"voltage", "-a", "1"}), 3, 1200ms, 2500ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    Cli run(c.arguments);
    EXPECT_EQ(run.FinishServing(), c.status) << run.Err();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.shortest);
    EXPECT_LT(took, c.longest);
    // One message of the tool's; a lost connection is also in the line's own diagnostic, which
    // reads as the tool's ("karvello-cli: tcp://... lost: ...") and is not counted.
    int messages = 0;
    for (const QString& line : QString::fromStdString(run.Err()).split('\n', Qt::SkipEmptyParts)) {
      EXPECT_TRUE(line.startsWith("karvello-cli: ")) << line.toStdString();
      if (!line.contains(" lost: ")) ++messages;
    }
    EXPECT_EQ(messages, 1) << run.Err();
  }
}

// The pause after connecting and the pause between requests reach the gateway; each request
// goes to its detector's unit with a transaction number of its own. The pause runs from the
// reply, however late it comes, to the next request.
TEST(CliNetwork, PausesAreKeptBeforeEachRequest) {
  for (const auto late : {0ms, 400ms}) {
    SCOPED_TRACE("answered " + std::to_string(late.count()) + " ms late");
    PlayedGateway gateway;
    gateway.SetAnswer([late](const std::vector<std::uint8_t>& request) {
      auto answer = Voltage220(request);
      answer.front().after = late;
      return answer;
    });
    Cli run(
        On(Loopback("tcp", gateway.Port()), {"watch", "-a", "1,2", "--every", "10s", "--count", "1",
                                             "--pause-after-connect", "300", "--pause", "300"}));
    ASSERT_EQ(run.FinishServing(), 0) << run.Err();
    const QStringList lines = QString::fromStdString(run.Out()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << run.Out();
    EXPECT_TRUE(lines[0].endsWith("address 1  voltage  220 V")) << run.Out();
    EXPECT_TRUE(lines[1].endsWith("address 2  voltage  220 V")) << run.Out();
    ASSERT_EQ(gateway.connectionTimes.size(), 1U);
    ASSERT_EQ(gateway.requests.size(), 2U);
    ASSERT_EQ(gateway.answerTimes.size(), 2U);
    const qint64 afterConnect = gateway.requestTimes[0] - gateway.connectionTimes[0];
    // The tool has the reply only after the gateway sent it: the gap it keeps is no shorter here.
    const qint64 afterReply = gateway.requestTimes[1] - gateway.answerTimes[0];
    EXPECT_GE(afterConnect, 290);
    EXPECT_LT(afterConnect, 800);
    EXPECT_GE(afterReply, 300);
    EXPECT_LT(afterReply, 800);
    EXPECT_EQ(gateway.requests[0][6], 1);
    EXPECT_EQ(gateway.requests[1][6], 2);
    EXPECT_NE(gateway.requests[0][1], gateway.requests[1][1]);
  }
}

// A gateway's failure to answer a voltage request, of each kind a reading can fail with.
enum class Failure { kRefused, kCorrupt, kLost, kSilent };

std::vector<PlayedGateway::Piece> FailingWith(Failure failure,
                                              const std::vector<std::uint8_t>& request) {
  switch (failure) {
    case Failure::kRefused:  // exception 02
      return {{0ms, {request[0], request[1], 0, 0, 0, 3, request[6], 0x83, 0x02}, false}};
    case Failure::kCorrupt:  // noise, no Modbus TCP reply
      return {{0ms, std::vector<std::uint8_t>(8, 0xA5), false}};
    case Failure::kLost:
      return {{0ms, {}, true}};
    case Failure::kSilent:
      break;
  }
  return {};
}

// How a watch prints a reading that failed so.
std::string Printed(Failure failure) {
  constexpr const char* kWords[] = {"refused (exception 02)", "corrupt reply", "line lost",
                                    "no reply in time"};
  return kWords[static_cast<int>(failure)];
}

// A counted watch whose every reading failed ends with the most telling failure, whichever came
// first: refused (4), then a corrupt reply (5), then the line lost (6), then no reply (3). Every
// pair in both orders, side by side.
TEST(CliNetwork, ACountedWatchEndsWithTheMostTellingOfTwoFailures) {
  struct Case {
    Failure first;
    Failure then;
    int status;
  };
  const Case cases[] = {
      {Failure::kRefused, Failure::kCorrupt, 4}, {Failure::kCorrupt, Failure::kRefused, 4},
      {Failure::kRefused, Failure::kLost, 4},    {Failure::kLost, Failure::kRefused, 4},
      {Failure::kRefused, Failure::kSilent, 4},  {Failure::kSilent, Failure::kRefused, 4},
      {Failure::kCorrupt, Failure::kLost, 5},    {Failure::kLost, Failure::kCorrupt, 5},
      {Failure::kCorrupt, Failure::kSilent, 5},  {Failure::kSilent, Failure::kCorrupt, 5},
      {Failure::kLost, Failure::kSilent, 6},     {Failure::kSilent, Failure::kLost, 6},
  };
  std::vector<std::unique_ptr<PlayedGateway>> gateways;
  std::vector<std::unique_ptr<Cli>> runs;
  for (const Case& c : cases) {
    gateways.push_back(std::make_unique<PlayedGateway>());
    gateways.back()->SetAnswer([&c, asked = 0](const std::vector<std::uint8_t>& request) mutable {
      return FailingWith(++asked == 1 ? c.first : c.then, request);
    });
    runs.push_back(
        std::make_unique<Cli>(On(Loopback("tcp", gateways.back()->Port()),
                                 {"watch", "-a", "1", "--every", "1s", "--count", "2"})));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(Printed(c.first) + ", then " + Printed(c.then));
    EXPECT_EQ(runs[i]->FinishServing(15s), c.status) << runs[i]->Err();
    const QStringList lines =
        QString::fromStdString(runs[i]->Out()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << runs[i]->Out();
    EXPECT_TRUE(lines[0].endsWith(QString::fromStdString("voltage  " + Printed(c.first))))
        << runs[i]->Out();
    EXPECT_TRUE(lines[1].endsWith(QString::fromStdString("voltage  " + Printed(c.then))))
        << runs[i]->Out();
  }
}

// The frames told with -v and kept in the record are the bytes that crossed the wire: RTU frames
// to a serial server, the MBAP request and reply to a Modbus TCP server (pymodbus's, written
// elsewhere, where it is installed). The record names the line by its address as given.
TEST(CliNetwork, TheFramesToldAndKeptAreTheBytesOnTheWire) {
  struct Case {
    std::string address;
    const char* detector;
    std::string out;
    std::string sent;
    std::string reply;
  };
  std::vector<Case> cases;
  const auto sim = Serving({});
  ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
  cases.push_back({sim->Path(), "1", "220 V\n", "01 03 00 0F 00 01 B4 09", "01 03 02 00 DC B9 DD"});
#ifdef PYMODBUS_SERVER
  const quint16 port = FreePort();
  testing::ServerProcess server(QStringLiteral(PYTHON3_WITH_PYMODBUS),
                                {QStringLiteral(PYMODBUS_SERVER), QString::number(port),
                                 QStringLiteral("5"), QStringLiteral("15=231")},
                                port);
  ASSERT_TRUE(server.Ready()) << server.Output().toStdString();
  cases.push_back({Loopback("tcp", port), "5", "231 V\n", "00 01 00 00 00 06 05 03 00 0F 00 01",
                   "00 01 00 00 00 05 05 03 02 00 E7"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record.csv"));
    Cli run(On(c.address, {"voltage", "-a", c.detector, "-v"}), record);
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_EQ(run.Out(), c.out + "  sent: " + c.sent + "\n  received: " + c.reply + "\n");
    const auto rows = Record::Read(record, RecordQuery{}, nullptr);
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].port, c.address);
    EXPECT_EQ(SentText(rows[0]), c.sent);
    EXPECT_EQ(HexText(rows[0].reply), c.reply);
  }
}

// A Modbus TCP gateway that answers with a broken header, another transaction's answer alone, or
// a frame cut short: a corrupt reply (5) with the bytes as they came, in -v and in the record,
// not silence. Another transaction's answer followed by the right one is the right one; a
// gateway that says nothing is still no reply (3).
TEST(CliNetwork, AMalformedModbusTcpAnswerIsACorruptReply) {
  // The tool's first request is transaction 1 to unit 1: 00 01 00 00 00 06 01 03 00 0F 00 01.
  const char* const right = "00 01 00 00 00 05 01 03 02 00 DC";
  struct Case {
    std::string name;
    std::vector<PlayedGateway::Piece> answer;
    int status;
    std::string received;  // as -v shows it and the record keeps it
  };
  std::vector<Case> cases;
  // Another transaction, protocol 1, length 0, length 65535, a length past what came, a cut
  // header.
  for (const char* bytes : {"00 02 00 00 00 05 01 03 02 00 DC", "00 01 00 01 00 05 01 03 02 00 DC",
                            "00 01 00 00 00 00 01 03 02 00 DC", "00 01 00 00 FF FF 01 03 02 00 DC",
                            "00 01 00 00 00 09 01 03 02 00 DC", "00 01 00 00"}) {
    cases.push_back({bytes, {{0ms, testing::Hex(bytes)}}, 5, bytes});
  }
  cases.push_back(
      {"another transaction, then the right one",
       {{0ms, testing::Hex("00 02 00 00 00 05 01 03 02 00 01")}, {300ms, testing::Hex(right)}},
       0,
       right});
  cases.push_back({"silent", {}, 3, ""});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record.csv"));
    PlayedGateway gateway;
    gateway.SetAnswer([&c](const std::vector<std::uint8_t>&) { return c.answer; });
    Cli run(On(Loopback("tcp", gateway.Port()), {"voltage", "-a", "1", "-v"}), record);
    EXPECT_EQ(run.FinishServing(), c.status) << run.Out() << run.Err();
    const auto rows = Record::Read(record, RecordQuery{}, nullptr);
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(HexText(rows[0].reply), c.received);
    if (!c.received.empty()) {
      EXPECT_NE(run.Out().find("  received: " + c.received + "\n"), std::string::npos) << run.Out();
    }
  }
}

// A line that does not open is told in one line naming it, each kind with what it knows.
TEST(CliNetwork, ALineThatDoesNotOpenIsToldByItsKind) {
  const std::string refused = Loopback("tcp", FreePort());
  const std::string refusedServer = Loopback("rtu+tcp", FreePort());
  // A serial port in use: this test holds it open, as another program would.
  sim::SimulatedDetector detector;
  QSerialPort held(QString::fromStdString(detector.SlavePath()));
  ASSERT_TRUE(held.open(QIODevice::ReadWrite)) << held.errorString().toStdString();
  const struct {
    std::string address;
    std::string err;
  } cases[] = {
      {"/dev/no-such-port", "/dev/no-such-port does not open: no such device"},
      {detector.SlavePath(),
       detector.SlavePath() + " does not open: it is in use by another program"},
      {"COM256", "COM256 has no device (see karvello-cli --list-ports)"},
      {refused, refused + " does not open: Connection refused"},
      {refusedServer, refusedServer + " does not open: Connection refused"},
  };
  for (const auto& c : cases) {
    Cli run(On(c.address, {"voltage", "-a", "1"}));
    EXPECT_EQ(run.Finish(), 6) << c.address;
    EXPECT_EQ(run.Err(), "karvello-cli: " + c.err + "\n");
  }
}

// Bad addresses and the network options' edges: n taken (the line is tried: the refused port's
// status, 6), n + 1 refused as bad usage (2).
TEST(CliNetwork, AddressesAndOptionsAtTheirEdges) {
  const QString refused = QString::fromStdString(Loopback("tcp", FreePort()));
  std::vector<std::pair<QStringList, int>> cases;
  for (const char* port : {"rtu+tcp://127.0.0.1", "tcp://127.0.0.1:0", "tcp://127.0.0.1:65536",
                           "udp://127.0.0.1:502", "tcp://[::1", "tcp://no host", "COM257"}) {
    cases.push_back({{"-p", port}, 2});
  }
  cases.push_back({{"-p", "COM256"}, 6});
  for (const char* option :
       {"--connect-timeout 0", "--connect-timeout 60001", "--connect-timeout 3s",
        "--pause-after-connect 10001", "--pause 10001", "--pause=-1"}) {
    cases.push_back({Words(option) << "-p" << refused, 2});
  }
  for (const char* option : {"--connect-timeout 1", "--connect-timeout 60000",
                             "--pause-after-connect 10000", "--pause 0", "--pause 10000"}) {
    cases.push_back({Words(option) << "-p" << refused, 6});
  }
  for (const auto& [arguments, status] : cases) {
    SCOPED_TRACE(arguments.join(' ').toStdString());
    Cli run(QStringList{"voltage", "-a", "1"} << arguments);
    EXPECT_EQ(run.Finish(), status) << run.Err();
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(QString::fromStdString(run.Err()).count('\n'), 1) << run.Err();
  }
}

}  // namespace
}  // namespace karvello
