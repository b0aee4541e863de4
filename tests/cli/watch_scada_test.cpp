// karvello-cli watch --modbus-server as a SCADA meets it: the watch over karvello-sim, read by
// mbpoll, pymodbus's client and the tool's own Modbus TCP line; a detector pulled off the bus
// and the line lost and back, as the quality block tells them; and sixteen clients at once
// while the watch keeps its rounds.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>
#include <QtEndian>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_process.h"
#include "support/sim_process.h"
#include "support/tcp_servers.h"
#include "waiting_and_times.h"

#if defined(MBPOLL_EXECUTABLE) && defined(PYTHON3_WITH_PYMODBUS)
#include "support/mbpoll.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using testing::FreePort;
using testing::RunMbpoll;
using testing::SimProcess;

// mbpoll's one poll of `count` registers from `start` of `unit`, with -t `table` (4 holding, 3
// input), numbered from 0: the values by register, none when it printed none.
std::map<int, long> Mbpoll(quint16 port, int table, int unit, int start, int count,
                           std::string* output = nullptr) {
  const auto run = RunMbpoll("-m tcp -p " + std::to_string(port) + " -t " + std::to_string(table) +
                             " -0 -1 -o 2 -a " + std::to_string(unit) + " -r " +
                             std::to_string(start) + " -c " + std::to_string(count) + " 127.0.0.1");
  if (output) *output = run.output;
  std::map<int, long> values;
  const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(\\d+)"),
                                QRegularExpression::MultilineOption);
  auto each = line.globalMatch(QString::fromStdString(run.output));
  while (each.hasNext()) {
    const auto match = each.next();
    values[match.captured(1).toInt()] = match.captured(2).toLong();
  }
  return values;
}

// pymodbus's client (scada_client.py) with `requests`: its lines.
QStringList Pymodbus(quint16 port, const QStringList& requests) {
  QProcess client;
  client.start(QStringLiteral(PYTHON3_WITH_PYMODBUS),
               QStringList{QStringLiteral(SCADA_CLIENT), QString::number(port)} + requests);
  client.waitForFinished(20000);
  return QString::fromUtf8(client.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// The quality block of `unit` as mbpoll reads it (15 values), or fewer when refused.
std::vector<long> Quality(quint16 port, int unit) {
  std::vector<long> words;
  for (const auto& [reg, value] : Mbpoll(port, 4, unit, 0x0100, 15)) words.push_back(value);
  return words;
}

// Polls until `holds` is true of the quality block of `unit`, for at most `timeout`.
bool QualityComes(quint16 port, int unit,
                  const std::function<bool(const std::vector<long>&)>& holds,
                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto words = Quality(port, unit);
    if (words.size() == 15 && holds(words)) return true;
    std::this_thread::sleep_for(200ms);
  }
  return false;
}

long Pair(const std::vector<long>& words, std::size_t at) {
  return words[at] << 16 | words[at + 1];
}

TEST(CliWatchScada, MbpollPymodbusAndTheToolReadBothBlocks) {
  SimProcess sim({"--bus", "5", "--resistance", "1234", "--decimals", "2", "--voltage", "230"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  const quint16 port = FreePort();
  Cli watch({"-p", QString::fromStdString(sim.Path()), "watch", "-a", "5", "--every", "1s",
             "--voltage", "--resistance", "--format", "json", "--modbus-server",
             QString::number(port)});
  // The first round: the voltage, then the resistance 19 s later.
  ASSERT_TRUE(watch.WaitForLines(2, 30s)) << watch.Out();

  const auto quality = Quality(port, 5);
  ASSERT_EQ(quality.size(), 15u);
  EXPECT_LE(Pair(quality, 3), 10);  // the resistance read just now (a loaded machine's seconds)
  EXPECT_LE(Pair(quality, 7), 30);  // the voltage read before the 19 s measurement
  EXPECT_GE(Pair(quality, 11), 2);
  // Each good, 12.34 Ω in hundredths, 230 V, no alarm; the ages above left out.
  std::vector<long> fixed = quality;
  for (const std::size_t at : {3, 4, 7, 8, 11, 12}) fixed[at] = 0;
  EXPECT_EQ(fixed, (std::vector<long>{0, 0, 1234, 0, 0, 0, 230, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Mbpoll(port, 3, 5, 13, 3), (std::map<int, long>{{13, 1234}, {14, 2}, {15, 230}}));
  EXPECT_EQ(Mbpoll(port, 4, 5, 18, 1), (std::map<int, long>{{18, 5}}));
  const auto gateway = Mbpoll(port, 3, 0, 0, 9);
  EXPECT_EQ(gateway.at(0), 1);  // the line open
  EXPECT_EQ(gateway.at(1), 0);  // no broker
  EXPECT_EQ(gateway.at(6), 1);  // one detector
  EXPECT_EQ(gateway.at(8), 0);  // no alarm raised

  const QStringList read = Pymodbus(port, {"h:5:0x100:15", "i:5:13:3", "h:0:6:1"});
  ASSERT_EQ(read.size(), 3) << read.join('\n').toStdString();
  EXPECT_TRUE(QRegularExpression("^ok 0 0 1234 0 \\d+ 0 230 0 \\d+ 0 0 0 \\d+ 0 0$")
                  .match(read[0])
                  .hasMatch())
      << read[0].toStdString();
  EXPECT_EQ(read[1], "ok 1234 2 230");
  EXPECT_EQ(read[2], "ok 1");

  // Each exception, from pymodbus and from mbpoll.
  EXPECT_EQ(Pymodbus(port, {"w:5:17:1", "h:5:0x100:0", "h:5:0x100:126", "h:5:0x100:125",
                            "h:5:0x112:1", "h:5:16:1", "h:9:0x100:1", "i:5:15:1"}),
            (QStringList{"exception 1", "exception 3", "exception 3", "exception 2", "exception 2",
                         "exception 2", "exception 11", "ok 230"}));
  const auto written =
      RunMbpoll("-m tcp -p " + std::to_string(port) + " -t 4 -0 -1 -o 2 -a 5 -r 17 127.0.0.1 1");
  EXPECT_NE(written.output.find("Illegal function"), std::string::npos) << written.output;
  std::string said;
  EXPECT_TRUE(Mbpoll(port, 4, 5, 0x112, 1, &said).empty());
  EXPECT_NE(said.find("Illegal data address"), std::string::npos) << said;
  EXPECT_TRUE(Mbpoll(port, 4, 9, 15, 1, &said).empty());
  EXPECT_NE(said.find("Target device failed to respond"), std::string::npos) << said;

  // The tool's own Modbus TCP line reads its own server; a measurement it would start is
  // refused: the server writes nothing.
  Cli voltage({"-p", "tcp://127.0.0.1:" + QString::number(port), "voltage", "-a", "5"});
  EXPECT_EQ(voltage.Finish(), 0) << voltage.Err();
  EXPECT_EQ(voltage.Out(), "230 V\n");
  Cli resistance({"-p", "tcp://127.0.0.1:" + QString::number(port), "resistance", "-a", "5"});
  EXPECT_EQ(resistance.Finish(), 4) << resistance.Err();

  // A stop waits for the exchange in progress: a measurement's 19 s at most.
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Finish(30s), 0) << watch.Err();
}

// Detector 7 pulled off the bus while the line is gone: the line lost shows as state 4 at each
// detector and 0 at the gateway's 0x0000; back, 5 reads good again and 7 shows its last voltage
// as failed (3) with a growing age, its own registers refused (0x0B).
TEST(CliWatchScada, APulledDetectorAndALostLineShowInTheQualityBlock) {
  const quint16 line = FreePort();
  const quint16 port = FreePort();
  ASSERT_NE(line, 0);
  const QStringList listen{"--listen", "127.0.0.1:" + QString::number(line)};
  auto sim = std::make_unique<SimProcess>(QStringList{"--bus", "5,7"} + listen);
  ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
  Cli watch({"-p", "rtu+tcp://127.0.0.1:" + QString::number(line), "watch", "-a", "5,7", "--every",
             "1s", "--voltage", "--modbus-server", "127.0.0.1:" + QString::number(port)});
  const auto state = [](long code) {
    return [code](const std::vector<long>& words) { return words[5] == code; };
  };
  ASSERT_TRUE(QualityComes(port, 7, state(0), 10s)) << watch.Err();
  EXPECT_EQ(Mbpoll(port, 4, 7, 15, 1), (std::map<int, long>{{15, 220}}));

  sim->Kill();
  ASSERT_TRUE(QualityComes(port, 5, state(4), 10s)) << watch.Err();
  EXPECT_EQ(Quality(port, 7)[5], 4);
  EXPECT_EQ(Mbpoll(port, 4, 0, 0, 1), (std::map<int, long>{{0, 0}}));

  sim = std::make_unique<SimProcess>(QStringList{"--bus", "5"} + listen);
  ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
  ASSERT_TRUE(QualityComes(port, 5, state(0), 10s)) << watch.Err();
  ASSERT_TRUE(QualityComes(port, 7, state(3), 10s)) << watch.Err();
  EXPECT_EQ(Mbpoll(port, 4, 0, 0, 1), (std::map<int, long>{{0, 1}}));
  const auto before = Quality(port, 7);
  ASSERT_EQ(before.size(), 15u);
  EXPECT_EQ(before[6], 220);  // the last answered voltage
  EXPECT_GE(before[10], 1);   // failed in a row
  std::this_thread::sleep_for(2100ms);
  const auto after = Quality(port, 7);
  ASSERT_EQ(after.size(), 15u);
  EXPECT_EQ(after[5], 3);
  EXPECT_EQ(after[6], 220);
  EXPECT_GE(Pair(after, 7), Pair(before, 7) + 2);  // its age grows
  std::string said;
  EXPECT_TRUE(Mbpoll(port, 4, 7, 15, 1, &said).empty());
  EXPECT_NE(said.find("Target device failed to respond"), std::string::npos) << said;

  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Finish(), 0) << watch.Err();
}

// Sixteen clients reading the quality block back to back while the watch reads every 500 ms:
// every request answered, exactly, and no round left out.
TEST(CliWatchScada, SixteenClientsAtOnceHoldUpNoRound) {
  SimProcess sim({"--bus", "5"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  const quint16 port = FreePort();
  Cli watch({"-p", QString::fromStdString(sim.Path()), "watch", "-a", "5", "--every", "500ms",
             "--voltage", "--format", "json", "--modbus-server", QString::number(port)});
  ASSERT_TRUE(watch.WaitForLines(1, 5s)) << watch.Err();

  constexpr int kClients = 16;
  constexpr int kRequests = 300;
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  std::vector<int> answered(kClients, 0);
  std::vector<QByteArray> pending(kClients);
  int wrong = 0;
  const auto send = [&](int i) {
    QByteArray next = QByteArray::fromHex("00 00 00 00 00 06 05 03 01 00 00 0F");
    next[0] = static_cast<char>(answered[i] >> 8);
    next[1] = static_cast<char>(answered[i] & 0xFF);
    clients[i]->write(next);
  };
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<QTcpSocket>());
    QTcpSocket* socket = clients.back().get();
    QObject::connect(socket, &QTcpSocket::connected, [&, i] { send(i); });
    QObject::connect(socket, &QTcpSocket::readyRead, [&, i, socket] {
      pending[i] += socket->readAll();
      while (pending[i].size() >= 39) {
        const QByteArray reply = pending[i].left(39);
        pending[i].remove(0, 39);
        const int id = qFromBigEndian<quint16>(reply.constData());
        if (id != answered[i] || reply.mid(2, 7) != QByteArray::fromHex("00 00 00 21 05 03 1E"))
          ++wrong;
        if (++answered[i] < kRequests) send(i);
      }
    });
    socket->connectToHost(QHostAddress::LocalHost, port);
  }
  const auto start = QDateTime::currentDateTime();
  const bool all = testing::RunUntil(
      [&] {
        for (int n : answered) {
          if (n < kRequests) return false;
        }
        return true;
      },
      60s);
  // At least two rounds more with the clients gone.
  testing::RunFor(1200ms);
  const auto end = QDateTime::currentDateTime();
  EXPECT_TRUE(all);
  EXPECT_EQ(wrong, 0);
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Finish(), 0) << watch.Err();
  std::vector<QDateTime> times;
  for (const QDateTime& time : cli_test::Times(watch.Objects())) {
    if (time >= start && time <= end) times.push_back(time);
  }
  ASSERT_GE(times.size(), 2u) << watch.Out();
  for (std::size_t i = 1; i < times.size(); ++i) {
    EXPECT_LT(times[i - 1].msecsTo(times[i]), 750) << "a round left out at " << i;
  }
}

}  // namespace
}  // namespace karvello
#endif
