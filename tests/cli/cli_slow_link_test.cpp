// karvello-cli against the slow links and gateways of the field, played by a small server of the
// test's own (slow_servers.py): a serial server whose replies come 2.05 s after each request,
// each one count higher than the last, and a Modbus TCP gateway with nothing behind it that
// answers every request with its exception. Late replies are never taken for the next request's
// answer, and a gateway's word that no detector answered is no reply.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "record/record.h"
#include "support/child_program.h"
#include "support/cli_process.h"
#include "support/free_port.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;

// A server of slow_servers.py, `kind` and its number, on a free loopback port.
class PlayedServer {
 public:
  PlayedServer(const char* kind, int number)
      : program_(
            QStringLiteral(PYTHON3_EXECUTABLE),
            {QStringLiteral(SLOW_SERVERS), QString::fromLatin1(kind), QString::number(number)}) {
    const QRegularExpression ready(QStringLiteral("port (\\d+)"));
    if (program_.WaitFor(ready, 10s)) port_ = ready.match(program_.Out()).captured(1).toInt();
  }
  std::string Address(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }
  int Port() const { return port_; }

 private:
  testing::ChildProgram program_;
  int port_ = 0;
};

// Each watch of a serial server answering 2.05 s late: with the detector's own wait every round
// has no reply and each late reply is set aside, told with its count and kept as `again`; with a
// wait long enough each round carries its own value, counted up from 1. Never does a round take
// the value of another, nor is address 2 judged by address 1's reply.
TEST(CliSlowLink, ALateReplyIsNeverTakenForTheNextRequestsAnswer) {
  struct Case {
    const char* name;
    QStringList arguments;
    int rounds;  // readings printed
    int status;
    bool answered;  // each reading answered with its own round's value
  };
  const Case cases[] = {
      {"one address", {"-a", "1", "--every", "2s", "--count", "4"}, 4, 3, false},
      {"two addresses", {"-a", "1,2", "--every", "5s", "--count", "2"}, 4, 3, false},
      {"a wait long enough",
       {"-a", "1", "--every", "3s", "--count", "3", "--reply-timeout", "3000"},
       3,
       0,
       true},
  };
  std::vector<std::unique_ptr<PlayedServer>> servers;
  std::vector<std::unique_ptr<QTemporaryDir>> folders;
  std::vector<std::unique_ptr<Cli>> runs;
  for (const Case& c : cases) {
    servers.push_back(std::make_unique<PlayedServer>("late", 2050));
    EXPECT_NE(servers.back()->Port(), 0);
    folders.push_back(std::make_unique<QTemporaryDir>());
    runs.push_back(std::make_unique<Cli>(
        QStringList{"watch", "--format", "json", "-p",
                    QString::fromStdString(servers.back()->Address("rtu+tcp"))}
            << c.arguments,
        folders.back()->filePath(QStringLiteral("record.csv"))));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    Cli& cli = *runs[i];
    EXPECT_EQ(cli.Finish(30s), c.status) << cli.Err();
    const auto readings = cli.Objects();
    ASSERT_EQ(static_cast<int>(readings.size()), c.rounds) << cli.Out();
    int value = 0;
    for (const QJsonObject& reading : readings) {
      EXPECT_EQ(reading["result"].toString(), c.answered ? "answered" : "no-reply");
      if (c.answered) {
        EXPECT_EQ(reading["value"].toInt(), ++value);
      }
    }
    std::size_t late = 0;
    const QString record = folders[i]->filePath(QStringLiteral("record.csv"));
    for (const RecordRow& row : Record::Read(record, RecordQuery{}, nullptr)) {
      EXPECT_NE(row.result, Result::kCorrupt);
      // Only a reply set aside is answered in a round without one; its value is that of a
      // request of its own address: 1, 3, ... at address 1 and 2, 4, ... at address 2 with two.
      if (row.result == Result::kAnswered && !c.answered) {
        EXPECT_TRUE(row.again);
        ASSERT_TRUE(row.value);
        if (std::string(c.name) == "two addresses") {
          EXPECT_EQ(row.value->number % 2, static_cast<unsigned>(row.address % 2));
        }
        ++late;
      }
    }
    const std::string err = cli.Err();
    if (c.answered) {
      EXPECT_EQ(err.find("set aside"), std::string::npos) << err;
      continue;
    }
    // Every round's reply came late, the last perhaps after the watch ended.
    EXPECT_GE(late, static_cast<std::size_t>(c.rounds - 1));
    EXPECT_NE(err.find("a reply from address 1 came 20"), std::string::npos) << err;
    EXPECT_NE(err.find("past the wait of 1300 ms, and was set aside (" + std::to_string(late) +
                       " so far); a slow link may need a longer --reply-timeout"),
              std::string::npos)
        << err;
  }
}

// A gateway's exceptions for the device behind it are no reply, in its words beside; a scan
// through it lists no address. Its other words stay a refusal.
TEST(CliSlowLink, AGatewaysWordThatNoDetectorAnsweredIsNoReply) {
  struct Case {
    int code;
    const char* words;
  };
  const Case cases[] = {
      {10, "no reply (the gateway: path unavailable)"},
      {11, "no reply (the gateway: target device failed to respond)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    PlayedServer gateway("gateway", c.code);
    const QString line = QString::fromStdString(gateway.Address("tcp"));
    Cli voltage({"voltage", "-a", "7", "-p", line});
    EXPECT_EQ(voltage.Finish(), 3) << voltage.Err();
    EXPECT_EQ(voltage.Err(), std::string("karvello-cli: voltage: ") + c.words + "\n");
    Cli json({"voltage", "-a", "7", "-p", line, "--format", "json"});
    EXPECT_EQ(json.Finish(), 3);
    ASSERT_EQ(json.Objects().size(), 1U) << json.Out();
    EXPECT_EQ(json.Objects()[0]["result"].toString(), "no-reply");
    Cli scan({"scan", "--from", "1", "--to", "20", "-p", line});
    EXPECT_EQ(scan.Finish(), 3) << scan.Err();
    EXPECT_EQ(scan.Out(), "no detector found\n");
  }
  PlayedServer refusing("gateway", 2);
  Cli voltage({"voltage", "-a", "7", "-p", QString::fromStdString(refusing.Address("tcp"))});
  EXPECT_EQ(voltage.Finish(), 4);
  EXPECT_EQ(voltage.Err(), "karvello-cli: voltage: refused (exception 02)\n");
}

// A line that is not what its address says gets a hint: a Modbus TCP gateway's port tried when
// none was given, and tcp:// for a gateway given as a serial server.
TEST(CliSlowLink, AWrongLineIsToldWithAHint) {
  PlayedServer gateway("gateway", 11);
  Cli server({"voltage", "-a", "1", "-p", QString::fromStdString(gateway.Address("rtu+tcp"))});
  EXPECT_EQ(server.Finish(), 6);
  EXPECT_NE(server.Err().find(gateway.Address("rtu+tcp") +
                              " closed the connection at the request; if it is a Modbus TCP "
                              "gateway, give it as tcp://HOST:PORT\n"),
            std::string::npos)
      << server.Err();
  // Nothing listens at 127.0.0.1:502 unless run as root beside a gateway.
  Cli noPort({"voltage", "-a", "1", "-p", "tcp://127.0.0.1", "--connect-timeout", "500"});
  EXPECT_EQ(noPort.Finish(), 6);
  EXPECT_NE(noPort.Err().find("(tried port 502, Modbus TCP's; give another as tcp://HOST:PORT)\n"),
            std::string::npos)
      << noPort.Err();
  Cli givenPort(
      {"voltage", "-a", "1", "-p", "tcp://127.0.0.1:" + QString::number(testing::FreePort())});
  EXPECT_EQ(givenPort.Finish(), 6);
  EXPECT_EQ(givenPort.Err().find("tried port"), std::string::npos) << givenPort.Err();
}

}  // namespace
}  // namespace karvello
