// The SCADA's server over real loopback sockets in the test's event loop: requests split over
// many segments and several in one, headers no frame has, the limit of connections, the idle
// time-out, a client that never reads, and answers that follow the site's state as it changes.

#include "gateway/scada_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QTcpSocket>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gateway/scada_registers.h"
#include "support/event_loop.h"
#include "support/hex_bytes.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;
using testing::Hex;
using testing::HexText;
using testing::RunUntil;

// A client of the server: bytes sent as given, bytes received gathered.
class Client {
 public:
  // `receiveBuffer`: the system's receive buffer for it, when given.
  explicit Client(quint16 port, int receiveBuffer = 0) {
    QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { Gather(); });
    QObject::connect(&socket_, &QTcpSocket::disconnected, [this] { closed_ = true; });
    if (receiveBuffer > 0) {
      // Set before the connection is made, for the window it offers to hold to it.
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        socket_.setSocketDescriptor(fd);
      }
    } else {
      socket_.connectToHost(QHostAddress::LocalHost, port);
    }
    connected_ =
        RunUntil([this] { return socket_.state() == QAbstractSocket::ConnectedState; }, 3s);
  }
  // Reads nothing while paused: its own buffer and the system's fill, and the server's writes
  // to it wait.
  void Pause(bool paused) {
    paused_ = paused;
    socket_.setReadBufferSize(paused ? 1 : 0);
    if (!paused) Gather();
  }
  void Gather() {
    if (paused_) return;
    const QByteArray data = socket_.readAll();
    received_.insert(received_.end(), data.begin(), data.end());
  }
  bool Connected() const { return connected_; }
  void Send(const std::vector<std::uint8_t>& bytes) {
    socket_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    socket_.flush();
  }
  // The bytes received once `size` of them have come (or whatever came in `timeout`).
  std::string Receive(std::size_t size, std::chrono::milliseconds timeout = 3s) {
    return HexText(Take(size, timeout));
  }
  std::vector<std::uint8_t> Take(std::size_t size, std::chrono::milliseconds timeout) {
    RunUntil([&] { return received_.size() >= size || closed_; }, timeout);
    return std::exchange(received_, {});
  }
  // Whether the server closed the connection within `timeout`.
  bool ClosedWithin(std::chrono::milliseconds timeout) {
    return RunUntil([this] { return closed_; }, timeout);
  }

 private:
  QTcpSocket socket_;
  std::vector<std::uint8_t> received_;
  bool connected_ = false;
  bool closed_ = false;
  bool paused_ = false;
};

class ScadaServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.SetLine({"/dev/ttyUSB0", true, {}});
    site_.Expect(5);
    TakeVoltage(Result::kAnswered, 220);
    std::string why;
    ASSERT_TRUE(server_.Listen({"127.0.0.1", 0}, &why)) << why;
  }
  quint16 Port() const { return server_.Port(); }
  // A reading of unit 5's voltage, taken by the site now.
  void TakeVoltage(Result result, std::uint16_t volts) {
    Outcome outcome;
    outcome.operation = Operation::kQueryVoltage;
    outcome.result = result;
    outcome.value = Reading{volts, 0, false};
    site_.Take(outcome, 5, QDateTime::currentDateTime());
  }

  SiteState site_{"site1"};
  ScadaServer server_{site_};
};

// The voltage of unit 5, transaction `id` (two bytes of hex).
std::vector<std::uint8_t> Voltage(const char* id) {
  return Hex(std::string(id) + " 00 00 00 06 05 03 00 0F 00 01");
}
std::string VoltageReply(const char* id, const char* volts = "00 DC") {
  return std::string(id) + " 00 00 00 05 05 03 02 " + volts;
}

TEST_F(ScadaServerTest, AnswersARequestSplitByteByByteAndSeveralInOneSegment) {
  Client client(Port());
  ASSERT_TRUE(client.Connected());
  for (std::uint8_t byte : Voltage("12 34")) {
    client.Send({byte});
    testing::RunFor(5ms);
  }
  EXPECT_EQ(client.Receive(11), VoltageReply("12 34"));

  std::vector<std::uint8_t> three;
  for (const char* id : {"00 01", "00 02", "00 03"}) {
    const auto request = Voltage(id);
    three.insert(three.end(), request.begin(), request.end());
  }
  // The third split across two segments, the first whole with the two before.
  client.Send({three.begin(), three.end() - 5});
  testing::RunFor(20ms);
  client.Send({three.end() - 5, three.end()});
  EXPECT_EQ(client.Receive(33),
            VoltageReply("00 01") + " " + VoltageReply("00 02") + " " + VoltageReply("00 03"));
}

TEST_F(ScadaServerTest, ClosesOnlyTheConnectionWhoseHeaderNoFrameHas) {
  // The longest frame (length 254) is a frame: its PDU is refused, the connection kept.
  std::vector<std::uint8_t> longest = Hex("00 0B 00 00 00 FE 05 03");
  longest.resize(6 + 254, 0);
  const struct {
    const char* name;
    std::vector<std::uint8_t> request;
    std::string reply;  // before the close, if it closes
    bool closes;
  } cases[] = {
      {"protocol id 1", Hex("00 01 00 01 00 06 05 03 00 0F 00 01"), "", true},
      {"protocol id 0x8000", Hex("00 01 80 00 00 06 05 03 00 0F 00 01"), "", true},
      {"length 1", Hex("00 01 00 00 00 01 05"), "", true},
      {"length 0", Hex("00 01 00 00 00 00"), "", true},
      {"length 255", Hex("00 01 00 00 00 FF 05 03"), "", true},
      {"length 2, a function alone", Hex("00 07 00 00 00 02 05 03"), "00 07 00 00 00 03 05 83 03",
       false},
      {"length 254", longest, "00 0B 00 00 00 03 05 83 03", false},
      {"a good request, then a bad header",
       Hex("00 09 00 00 00 06 05 03 00 0F 00 01 00 0A 00 02 00 06"), VoltageReply("00 09"), true},
  };
  Client bystander(Port());
  ASSERT_TRUE(bystander.Connected());
  for (const auto& c : cases) {
    Client client(Port());
    ASSERT_TRUE(client.Connected()) << c.name;
    client.Send(c.request);
    EXPECT_EQ(client.Receive(Hex(c.reply).size()), c.reply) << c.name;
    EXPECT_EQ(client.ClosedWithin(c.closes ? 2s : 50ms), c.closes) << c.name;
    bystander.Send(Voltage("AA 55"));
    EXPECT_EQ(bystander.Receive(11), VoltageReply("AA 55")) << c.name;
  }
}

TEST_F(ScadaServerTest, TakesSixteenConnectionsAndClosesTheSeventeenth) {
  static_assert(kMostScadaConnections == 16);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 16; ++i) {
    clients.push_back(std::make_unique<Client>(Port()));
    ASSERT_TRUE(clients.back()->Connected()) << i;
  }
  ASSERT_TRUE(RunUntil([&] { return server_.Connections() == 16; }, 2s));
  Client seventeenth(Port());
  EXPECT_TRUE(seventeenth.ClosedWithin(2s));
  EXPECT_EQ(server_.Connections(), 16);
  for (auto& client : clients) {
    client->Send(Voltage("00 10"));
    EXPECT_EQ(client->Receive(11), VoltageReply("00 10"));
  }
  // One gone, one more is taken.
  clients.pop_back();
  ASSERT_TRUE(RunUntil([&] { return server_.Connections() == 15; }, 2s));
  Client next(Port());
  next.Send(Voltage("00 11"));
  EXPECT_EQ(next.Receive(11), VoltageReply("00 11"));
  EXPECT_FALSE(next.ClosedWithin(50ms));
}

TEST_F(ScadaServerTest, ClosesAConnectionIdleForTheTimeOut) {
  EXPECT_EQ(kScadaIdleTimeout, std::chrono::seconds(60));
  server_.SetIdleTimeout(400ms);
  Client idle(Port());
  Client busy(Port());
  ASSERT_TRUE(idle.Connected() && busy.Connected());
  // The busy one sends every 100 ms, each request a new start of its time.
  for (int i = 0; i < 8; ++i) {
    busy.Send(Voltage("00 01"));
    EXPECT_EQ(busy.Receive(11), VoltageReply("00 01"));
    testing::RunFor(100ms);
  }
  EXPECT_TRUE(idle.ClosedWithin(1s));
  EXPECT_FALSE(busy.ClosedWithin(100ms));
  EXPECT_TRUE(busy.ClosedWithin(1s));
}

// A client that sends and never reads: its requests wait in its own TCP window while the
// replies wait to go, another client is answered at once, and once it reads, every request is
// answered in order.
TEST_F(ScadaServerTest, AClientThatNeverReadsHoldsUpNoOther) {
  Client flooder(Port(), 4096);
  Client other(Port());
  ASSERT_TRUE(flooder.Connected() && other.Connected());
  flooder.Pause(true);
  // Far more replies (7.8 MB) than the system's buffers between the two hold (4 MB at most for
  // the sender's).
  constexpr int kRequests = 200000;
  std::vector<std::uint8_t> requests;
  for (int i = 0; i < kRequests; ++i) {
    const auto request = Hex("00 00 00 00 00 06 05 03 01 00 00 0F");
    requests.insert(requests.end(), request.begin(), request.end());
    requests[requests.size() - 12] = static_cast<std::uint8_t>(i >> 8);
    requests[requests.size() - 11] = static_cast<std::uint8_t>(i & 0xFF);
  }
  flooder.Send(requests);
  testing::RunFor(2s);  // the server fills what the system holds, then stops reading it
  const auto start = std::chrono::steady_clock::now();
  other.Send(Voltage("77 77"));
  EXPECT_EQ(other.Receive(11), VoltageReply("77 77"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);

  flooder.Pause(false);
  constexpr std::size_t kReply = 9 + 30;
  const std::vector<std::uint8_t> all = flooder.Take(kReply * kRequests, 30s);
  ASSERT_EQ(all.size(), kReply * kRequests);
  for (std::size_t i = 0; i < all.size(); i += kReply * 999) {
    std::vector<std::uint8_t> header = Hex("00 00 00 00 00 21 05 03 1E");
    header[0] = static_cast<std::uint8_t>(i / kReply >> 8);  // the transaction id, modulo 2^16
    header[1] = static_cast<std::uint8_t>(i / kReply & 0xFF);
    EXPECT_EQ(HexText({all.begin() + i, all.begin() + i + 9}), HexText(header)) << i / kReply;
  }
}

TEST_F(ScadaServerTest, AnswersFromTheSiteAsItStandsAtEachRequest) {
  Client client(Port());
  client.Send(Voltage("00 01"));
  EXPECT_EQ(client.Receive(11), VoltageReply("00 01"));
  TakeVoltage(Result::kAnswered, 231);
  client.Send(Voltage("00 02"));
  EXPECT_EQ(client.Receive(11), VoltageReply("00 02", "00 E7"));
  TakeVoltage(Result::kNoReply, 231);
  client.Send(Voltage("00 03"));
  EXPECT_EQ(client.Receive(9), "00 03 00 00 00 03 05 83 0B");
  site_.SetLineOpen(false, QDateTime::currentDateTime());
  client.Send(Hex("00 04 00 00 00 06 05 04 01 05 00 02"));
  EXPECT_EQ(client.Receive(13), "00 04 00 00 00 07 05 04 04 00 04 00 E7");
}

TEST_F(ScadaServerTest, RefusesAnAddressItCannotListenAt) {
  ScadaServer other(site_);
  std::string why;
  EXPECT_FALSE(other.Listen({"127.0.0.1", Port()}, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(other.Listen({"not-an-address", 1502}, &why));
  EXPECT_EQ(why, "not-an-address is not an address");
}

}  // namespace
}  // namespace karvello::gateway
