// karvello-sim, the simulated detector as a program: its options, what it prints, and a Modbus
// master written elsewhere (mbpoll) talking to it over the pseudo-terminal it makes.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QRegularExpression>
#include <QTime>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "raw_terminal.h"
#include "sim/pty_pair.h"
#include "sim/slave_port.h"
#include "support/child_program.h"
#include "support/hex_bytes.h"
#include "support/mbpoll.h"
#include "support/sim_process.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using testing::Hex;
using testing::Mbpoll;
using testing::MbpollRun;
using testing::SimProcess;

// A printed frame line: the time of day to the millisecond, the direction, the bytes.
QRegularExpression FrameLine(const char* direction, const std::string& bytes) {
  return QRegularExpression(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d)  %1  %2$")
                                .arg(QString::fromLatin1(direction),
                                     QRegularExpression::escape(QString::fromStdString(bytes))),
                            QRegularExpression::MultilineOption);
}

// Milliseconds from a printed time of day to now (small and positive for a line just printed).
qint64 MsBeforeNow(const QString& timeOfDay) {
  const QTime printed = QTime::fromString(timeOfDay, QStringLiteral("hh:mm:ss.zzz"));
  return printed.isValid() ? printed.msecsTo(QTime::currentTime()) : -1;
}

// Each (direction, bytes) printed as a frame line, in this order; the times of day of those
// printed lines, to check against the clock.
std::vector<QString> ExpectFrameLines(
    const QString& output, const std::vector<std::pair<std::string, std::string>>& lines) {
  std::vector<QString> times;
  qsizetype at = 0;
  for (const auto& [direction, bytes] : lines) {
    if (bytes.empty()) continue;
    const auto match = FrameLine(direction.c_str(), bytes).match(output, at);
    EXPECT_TRUE(match.hasMatch()) << direction << " " << bytes << " in order, in\n"
                                  << output.toStdString();
    if (!match.hasMatch()) break;
    at = match.capturedEnd();
    times.push_back(match.captured(1));
  }
  return times;
}

TEST(SimProgram, ServesMbpollOverItsPseudoTerminalAndPrintsEveryFrame) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimProcess sim({"--address", "3", "--resistance", "1234", "--decimals", "2", "--voltage", "231",
                  "--measure-ms", "100"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  EXPECT_TRUE(sim.Output().contains(
      "address 3: reading 1234 with 2 decimal place(s), 231 V, measurement 100 ms"))
      << sim.Output().toStdString();

  const MbpollRun start = Mbpoll(sim.Path(), "-a 3 -r 17", "1");
  EXPECT_EQ(start.status, 0) << start.output;
  std::this_thread::sleep_for(150ms);  // the detector's own measurement, shortened to 100 ms
  const MbpollRun read = Mbpoll(sim.Path(), "-a 3 -r 13 -c 3");
  EXPECT_EQ(read.status, 0) << read.output;
  EXPECT_NE(read.output.find("[13]: \t1234\n[14]: \t2\n[15]: \t231\n"), std::string::npos)
      << read.output;

  const std::vector<std::pair<std::string, std::string>> lines = {
      {"recv", "03 06 00 11 00 01 19 ED"},
      {"send", "03 06 00 11 00 01 19 ED"},
      {"recv", "03 03 00 0D 00 03 95 EA"},
      {"send", "03 03 06 04 D2 00 02 00 E7 60 09"},
  };
  ASSERT_TRUE(sim.WaitForOutput(FrameLine("send", lines.back().second), 2s))
      << sim.Output().toStdString();
  const std::vector<QString> times = ExpectFrameLines(sim.Output(), lines);
  ASSERT_EQ(times.size(), lines.size());
  for (const QString& time : times) {
    const qint64 age = MsBeforeNow(time);
    EXPECT_GE(age, 0) << time.toStdString();
    EXPECT_LT(age, 5000) << time.toStdString();
  }
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_TRUE(sim.Output().contains("Stopped after 2 request(s).")) << sim.Output().toStdString();
}

// Each fault option spoils the reply as named: the printed reply shows it, and mbpoll, which
// checks replies as a Modbus master should, sees it.
TEST(SimProgram, FaultOptionsSpoilTheReplies) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  struct Case {
    QStringList options;
    std::string sent;    // the reply as printed
    bool mbpollAccepts;  // whether mbpoll takes it as the value 220
    std::string mbpollSays = "";
  };
  const Case cases[] = {
      {{"--fault", "bad-crc"}, "01 03 02 00 DC 46 22", false, "Invalid CRC"},
      {{"--fault", "exception", "--exception-code", "2"},
       "01 83 02 C0 F1",
       false,
       "Illegal data address"},
      {{"--fault", "exception"}, "01 83 04 40 F3", false},
      {{"--fault", "truncate", "--truncate-by", "3"}, "01 03 02 00", false},
      {{"--fault", "other-address", "--other-address", "9"}, "09 03 02 00 DC 58 1C", false},
      {{"--fault", "extra", "--extra-bytes", "FF 00"}, "01 03 02 00 DC B9 DD FF 00", true},
      {{"--fault", "twice"}, "01 03 02 00 DC B9 DD 01 03 02 00 DC B9 DD", true},
      {{"--fault", "split", "--split-after", "2,2", "--fault-pause-ms", "30"},
       "01 03 02 00 DC B9 DD   (over",
       true},
      {{"--pace"}, "01 03 02 00 DC B9 DD", true},
      {{"--fault", "stray"}, "00 01 03 02 00 DC B9 DD", false},
      {{"--fault", "split", "--split-after", "5", "--stray-bytes", "00", "--fault-pause-ms", "16"},
       "00 01 03 02 00 DC B9 DD   (over",
       false},
      {{"--fault", "pause"}, "01 03 02 00 DC B9 DD   (over", true},
      {{"--fault", "noise"}, "01 03 02 00 DC B9 DD A5 A5 A5   (over", true},
      {{"--fault", "noise", "--noise-bytes", "01 03 02"},
       "01 03 02 00 DC B9 DD 01 03 02   (over",
       true},
      {{"--fault", "trickle", "--stray-bytes", "00"}, "00 01 03 02 00 DC B9 DD", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.join(' ').toStdString());
    SimProcess sim(c.options);
    ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
    const MbpollRun run = Mbpoll(sim.Path(), "-a 1 -r 15");
    EXPECT_EQ(run.status == 0 && run.output.find("[15]: \t220\n") != std::string::npos,
              c.mbpollAccepts)
        << run.output;
    EXPECT_NE(run.output.find(c.mbpollSays), std::string::npos) << run.output;
    const QRegularExpression printed(QStringLiteral("  send  ") +
                                     QRegularExpression::escape(QString::fromStdString(c.sent)));
    EXPECT_TRUE(sim.WaitForOutput(printed, 2s)) << sim.Output().toStdString();
  }
}

TEST(SimProgram, NoReplyAndALimitedFaultCount) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimProcess sim({"--fault", "no-reply", "--fault-times", "1"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  EXPECT_TRUE(sim.Output().contains("Fault no-reply on the next 1 replies."));
  const MbpollRun silent = Mbpoll(sim.Path(), "-a 1 -r 15");
  EXPECT_NE(silent.status, 0) << silent.output;
  const MbpollRun answered = Mbpoll(sim.Path(), "-a 1 -r 15");
  EXPECT_EQ(answered.status, 0) << answered.output;
  ASSERT_TRUE(sim.WaitForOutput(FrameLine("send", "01 03 02 00 DC B9 DD"), 2s));
  EXPECT_TRUE(sim.Output().contains(
      QRegularExpression(QStringLiteral("recv  01 03 00 0F 00 01 B4 09\n +\\(no reply\\)\n"))))
      << sim.Output().toStdString();
}

// An echoing line gives the tool's request back before the reply; with echo-only nothing else
// comes and the program says that no detector is on the line.
TEST(SimProgram, EchoingLines) {
  struct Case {
    const char* kind;
    const char* heard;
    const char* says;
  };
  const Case cases[] = {
      {"echo", "01 03 00 0F 00 01 B4 09 01 03 02 00 DC B9 DD", "The line echoes every request."},
      {"echo-only", "01 03 00 0F 00 01 B4 09", "No detector on the line: nothing answers."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    SimProcess sim({"--fault", c.kind});
    ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
    EXPECT_TRUE(sim.Output().contains(QString::fromUtf8(c.says))) << sim.Output().toStdString();
    const int fd = testing::OpenRaw(sim.Path());
    ASSERT_GE(fd, 0);
    // All the line will say: the expected bytes, then 100 ms of silence.
    const std::vector<std::uint8_t> expected = Hex(c.heard);
    EXPECT_EQ(testing::Ask(fd, Hex("01 03 00 0F 00 01 B4 09"), expected.size(), 100ms, 2s),
              expected);
    close(fd);
  }
}

// A bus from the command line: each detector answers with its own settings and faults, the
// absent address not at all, and the program prints one exchange per request, in order.
TEST(SimProgram, PlaysABusWithSettingsAndFaultsPerDetector) {
  SimProcess sim({"--bus", "3,7,50,200", "--voltage", "231", "--detector",
                  "200:voltage=380,resistance=1234/2", "--stray-at", "7:FF", "--fault-at",
                  "50:bad-crc", "--fault-times", "1"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  for (const char* says : {"A bus of 4 detectors on one line.",
                           "address 7: reading 345 with 1 decimal place(s), 231 V",
                           "address 200: reading 1234 with 2 decimal place(s), 380 V",
                           "Fault bad-crc at address 50 on the next 1 replies.",
                           "Fault stray byte(s) FF at address 7 on the next 1 replies."}) {
    EXPECT_TRUE(sim.Output().contains(QString::fromUtf8(says))) << says;
  }
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {"03 03 00 0F 00 01 B5 EB", "03 03 02 00 E7 81 CE"},
      {"07 03 00 0F 00 01 B4 6F", "FF 07 03 02 00 E7 70 0E"},
      {"32 03 00 0F 00 01 B1 CA", "32 03 02 00 E7 03 F5"},
      {"09 03 00 0F 00 01 B5 41", ""},
      {"C8 03 00 0F 00 01 A5 90", "C8 03 02 01 7C 64 25"},
      {"32 03 00 0F 00 01 B1 CA", "32 03 02 00 E7 FC 0A"},
  };
  const int fd = testing::OpenRaw(sim.Path());
  ASSERT_GE(fd, 0);
  for (const auto& [request, reply] : exchanges) {
    const std::vector<std::uint8_t> bytes = Hex(request);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(sim.WaitForOutput(FrameLine("recv", request), 2s)) << request;
    std::this_thread::sleep_for(20ms);  // the reply printed after it, if any
  }
  close(fd);
  ASSERT_TRUE(sim.WaitForOutput(FrameLine("send", exchanges.back().second), 2s));
  std::vector<std::pair<std::string, std::string>> lines;
  for (const auto& [request, reply] : exchanges) {
    lines.insert(lines.end(), {{"recv", request}, {"send", reply}});
  }
  ExpectFrameLines(sim.Output(), lines);
  EXPECT_TRUE(sim.Output().contains(
      QRegularExpression(QStringLiteral("recv  09 03 00 0F 00 01 B5 41\n +\\(no reply\\)\n"))));
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_TRUE(sim.Output().contains("Stopped after 6 request(s).")) << sim.Output().toStdString();
}

// A run longer than the detector keeps in its log (10,000 exchanges) is printed whole: the
// program keeps up, so it leaves none out.
TEST(SimProgram, PrintsEveryExchangeOfARunLongerThanItsLog) {
  constexpr int kExchanges = 10'050;
  SimProcess sim({"--address", "1"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  const int fd = testing::OpenRaw(sim.Path(), 0);
  ASSERT_GE(fd, 0);
  const std::vector<std::uint8_t> request = Hex("01 03 00 0F 00 01 B4 09");
  const QRegularExpression never(QStringLiteral("^never$"));
  for (int i = 0; i < kExchanges; ++i) {
    ASSERT_EQ(testing::Ask(fd, request, 7, 0ms, 2s).size(), 7u) << "no reply to request " << i;
    if (i % 500 == 0) sim.WaitForOutput(never, 5ms);  // keeps its pipe from filling
  }
  close(fd);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (sim.Output().count(QStringLiteral("  recv  ")) < kExchanges &&
         std::chrono::steady_clock::now() < deadline) {
    sim.WaitForOutput(never, 100ms);
  }
  EXPECT_EQ(sim.Output().count(QStringLiteral("  recv  01 03 00 0F 00 01 B4 09\n")), kExchanges);
  EXPECT_EQ(sim.Output().count(QStringLiteral("  send  01 03 02 00 DC B9 DD\n")), kExchanges);
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_FALSE(sim.Output().contains(QStringLiteral("left out")));
  EXPECT_TRUE(sim.Output().contains(QStringLiteral("Stopped after 10050 request(s).")));
}

// The port of a "Serving SCHEME://127.0.0.1:PORT" address; 0 when it is none such.
std::uint16_t PortIn(const std::string& served, const std::string& scheme) {
  const std::string prefix = scheme + "://127.0.0.1:";
  if (served.rfind(prefix, 0) != 0) return 0;
  return static_cast<std::uint16_t>(std::stoi(served.substr(prefix.size())));
}

// --listen serves the RTU frames over TCP, as on the pseudo-terminal, faults and all; a client
// that closes leaves it listening for the next.
TEST(SimProgram, ServesRtuOverTcp) {
  SimProcess sim(
      {"--listen", "127.0.0.1:0", "--voltage", "231", "--fault", "stray", "--fault-times", "1"});
  const std::uint16_t port = PortIn(sim.Path(), "rtu+tcp");
  ASSERT_NE(port, 0) << sim.Output().toStdString();
  EXPECT_TRUE(
      sim.Output().contains("(RTU frames over TCP, one client at a time: a new one "
                            "replaces it)"))
      << sim.Output().toStdString();
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {"01 03 00 0F 00 01 B4 09", "00 01 03 02 00 E7 F8 0E"},
      {"01 03 00 0F 00 01 B4 09", "01 03 02 00 E7 F8 0E"},
  };
  for (const auto& [request, reply] : exchanges) {
    testing::TcpClient client(port);
    ASSERT_TRUE(client.Write(Hex(request)));
    EXPECT_EQ(client.Read(2s, 50ms).bytes, Hex(reply));
    EXPECT_TRUE(sim.WaitForOutput(FrameLine("send", reply), 2s)) << sim.Output().toStdString();
  }
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_TRUE(sim.Output().contains("Stopped after 2 request(s).")) << sim.Output().toStdString();
}

// --modbus-tcp serves Modbus TCP to a master written elsewhere (mbpoll); with
// --gateway-exceptions a unit where no detector is draws exception 0x0B.
TEST(SimProgram, ServesModbusTcpAsAGateway) {
  KARVELLO_SKIP_WITHOUT_MBPOLL();
  SimProcess sim({"--listen", "127.0.0.1:0", "--modbus-tcp", "--gateway-exceptions", "--address",
                  "5", "--voltage", "231"});
  const std::uint16_t port = PortIn(sim.Path(), "tcp");
  ASSERT_NE(port, 0) << sim.Output().toStdString();
  const MbpollRun read = testing::MbpollTcp(port, "-a 5 -r 15");
  EXPECT_EQ(read.status, 0) << read.output;
  EXPECT_NE(read.output.find("[15]: \t231\n"), std::string::npos) << read.output;
  const MbpollRun absent = testing::MbpollTcp(port, "-a 9 -r 15");
  EXPECT_NE(absent.status, 0) << absent.output;
  EXPECT_NE(absent.output.find("ailed to respond"), std::string::npos) << absent.output;
  // The ADUs as they went: a transaction id of mbpoll's, then protocol 0, the length, the unit.
  for (const char* frame :
       {"recv  .. .. 00 00 00 06 05 03 00 0F 00 01\n", "send  .. .. 00 00 00 05 05 03 02 00 E7\n",
        "recv  .. .. 00 00 00 06 09 03 00 0F 00 01\n", "send  .. .. 00 00 00 03 09 83 0B\n"}) {
    EXPECT_TRUE(sim.WaitForOutput(QRegularExpression(QString::fromLatin1(frame)), 2s))
        << frame << sim.Output().toStdString();
  }
}

// --device serves a terminal opened by path, whatever state the line was left in.
TEST(SimProgram, ServesASerialDeviceGivenByPath) {
  sim::PtyPair line;  // the test works the master side, as the tool's port would
  const int other = testing::OpenCooked(line.SlavePath());
  ASSERT_NE(testing::NotRaw9600(other), "");

  SimProcess sim({"--device", QString::fromStdString(line.SlavePath()), "--voltage", "99"});
  ASSERT_TRUE(sim.WaitForOutput(
      QRegularExpression(
          QStringLiteral("^Serving %1 at 9600 8N1")
              .arg(QRegularExpression::escape(QString::fromStdString(line.SlavePath()))),
          QRegularExpression::MultilineOption),
      3s))
      << sim.Output().toStdString();
  EXPECT_EQ(testing::NotRaw9600(other), "");
  close(other);

  EXPECT_EQ(testing::Ask(line.MasterFd(), Hex("01 03 00 0F 00 01 B4 09"), 7, 0ms, 2s),
            Hex("01 03 02 00 63 F8 6D"));
  EXPECT_TRUE(sim.WaitForOutput(FrameLine("send", "01 03 02 00 63 F8 6D"), 2s))
      << sim.Output().toStdString();
}

struct Refusal {
  QStringList options;
  const char* says;
};

// Each way the program refuses to start: an option its reading refuses (the others are in
// tests/sim/sim_options_test.cpp), one the parser does not know, an argument, a line that cannot
// be served. Status 1, the reason on standard error, nothing served.
TEST(SimProgram, RefusesWrongOptionsWithAMessage) {
  const Refusal cases[] = {
      {{"--address", "0"}, "karvello-sim: --address takes a whole number from 1 to 255"},
      {{"--colour"}, "Unknown option 'colour'.\n"},
      {{"--baud", "19200"},
       "Unknown option 'baud'. The line is always 9600 baud 8N1, as the detector's.\n"},
      {{"--parity=even"}, "Unknown option 'parity'. The line is always 9600 baud 8N1"},
      {{"stray"}, "unexpected argument \"stray\""},
      {{"--device", "/nonexistent/tty"}, "open /nonexistent/tty"},
      {{"--device", "/dev/null"}, "/dev/null is not a serial line"},
      {{"--listen", "no.such.host.invalid:0"}, "cannot listen on no.such.host.invalid"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.options.join(' ').toStdString());
    testing::ChildProgram sim(QStringLiteral(KARVELLO_SIM_EXECUTABLE), c.options);
    EXPECT_EQ(sim.Finish(5s), 1);
    EXPECT_TRUE(sim.Err().contains(QString::fromUtf8(c.says))) << sim.Err().toStdString();
    EXPECT_FALSE(sim.Out().contains("Serving"));
  }
}

TEST(SimProgram, HelpExplainsEveryOptionAndFault) {
  testing::ChildProgram sim(QStringLiteral(KARVELLO_SIM_EXECUTABLE), {"--help"});
  ASSERT_EQ(sim.Finish(5s), 0);
  const QString help = sim.Out();
  // Every option and fault by name, "--fault " apart from the options that begin with it.
  const QString words = QStringLiteral(
      "--address,--resistance,--decimals,--voltage,--measure-ms,--pace,--device,"
      "--fault ,--fault-times,--truncate-by,--exception-code,--other-address,"
      "--extra-bytes,--split-after,--fault-pause-ms,no-reply,bad-crc,truncate,"
      "exception,other-address,extra,split,twice,delay,stray,--stray-bytes,pause,"
      "--pause-after,noise,--noise-bytes,trickle,echo,echo-only,pseudo-terminal,--bus,"
      "--detector,--fault-at,--stray-at,--listen,rtu+tcp://,--modbus-tcp,"
      "--gateway-exceptions,0x0B,null-modem");
  for (const QString& word : words.split(',')) {
    EXPECT_TRUE(help.contains(word)) << word.toStdString();
  }
}

}  // namespace
}  // namespace karvello
