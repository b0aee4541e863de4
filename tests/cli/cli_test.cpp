// karvello-cli run as a program against the simulated detector on a pseudo-terminal: each
// command's value and frames, the formats read back by standard parsers, the exit status of each
// failure, the watch's timing, the signals, and bad usage that sends nothing.

#include <signal.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "record/record.h"
#include "sim/simulated_detector.h"
#include "support/blocked_folder.h"
#include "support/cli_process.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using sim::DetectorConfig;
using sim::Fault;
using sim::kPersistent;
using sim::SimulatedDetector;
using testing::HexText;

QStringList On(const SimulatedDetector& detector, QStringList arguments) {
  return arguments << "-p" << QString::fromStdString(detector.SlavePath());
}

// The words of `line`, split at its spaces.
QStringList Words(const char* line) {
  return QString::fromUtf8(line).split(' ');
}

QStringList LinesOf(const std::string& text, const char* end = "\n") {
  return QString::fromStdString(text).split(QString::fromLatin1(end), Qt::SkipEmptyParts);
}

int LineCount(const std::string& text) {
  return static_cast<int>(QString::fromStdString(text).count('\n'));
}

DetectorConfig At(std::uint8_t address) {
  DetectorConfig config;
  config.address = address;
  return config;
}

// The lines of a record file, the header first.
QStringList RecordLines(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? LinesOf(file.readAll().toStdString(), "\r\n")
                                        : QStringList{};
}

// The frames the detector took and sent, as -v prints them: each request and the last reply.
std::string FramesOf(const SimulatedDetector& detector) {
  const auto exchanges = detector.Exchanges();
  std::string text;
  for (std::size_t i = 0; i < exchanges.size(); ++i) {
    text += exchanges.size() > 1 ? "  sent " + std::to_string(i + 1) + ": " : "  sent: ";
    text += HexText(exchanges[i].request) + "\n";
  }
  if (!exchanges.empty()) text += "  received: " + HexText(exchanges.back().reply) + "\n";
  return text;
}

// Each command's value, and with -v the frames that went over the line, as the detector logged
// them. The two resistances run side by side, each taking the detector's 19 s.
TEST(CliCommands, PrintTheValueAndTheFramesOnTheLine) {
  // The detector counts its 19 s from the start's arrival, the tool from its sending: the
  // simulated one finishes a little early, so that a loaded machine does not read it unfinished.
  DetectorConfig measuring;
  measuring.measurementTime = 18'500ms;
  DetectorConfig overRange = measuring;
  overRange.decimalCount = 3;
  DetectorConfig small = measuring;
  small.resistance = 5;
  small.decimalCount = 2;
  const struct {
    const char* arguments;
    DetectorConfig config;
    std::string value;
  } cases[] = {{"voltage -a 1", {}, "220 V"},
               {"voltage -a 9", At(9), "220 V"},
               {"query-address", At(9), "address 9"},
               {"set-address 7", {}, "address 7"},
               {"resistance -a 1", measuring, "34.5 Ω"},
               {"resistance -a 1", overRange, "over range"},
               {"resistance -a 1", small, "0.05 Ω"}};
  std::vector<std::unique_ptr<SimulatedDetector>> detectors;
  std::vector<std::unique_ptr<Cli>> runs;
  for (const auto& c : cases) {
    detectors.push_back(std::make_unique<SimulatedDetector>(c.config));
    runs.push_back(std::make_unique<Cli>(On(*detectors.back(), Words(c.arguments) << "-v")));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].arguments);
    EXPECT_EQ(runs[i]->Finish(30s), 0) << runs[i]->Err();
    EXPECT_EQ(runs[i]->Out(), cases[i].value + "\n" + FramesOf(*detectors[i]));
  }
  // The frames themselves, once by hand: the voltage of detector 1.
  EXPECT_EQ(FramesOf(*detectors[0]),
            "  sent: 01 03 00 0F 00 01 B4 09\n"
            "  received: 01 03 02 00 DC B9 DD\n");
  EXPECT_EQ(detectors[3]->Address(), 7);
}

// The status of each failure, with one line on standard error.
TEST(CliCommands, EachFailureHasItsStatus) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    bool present;
    int status;
  };
  const Case cases[] = {
      {"silent detector", Fault::NoReply(), true, 3},  {"no detector", std::nullopt, false, 3},
      {"refusal", Fault::Exception(), true, 4},        {"corrupt reply", Fault::BadCrc(), true, 5},
      {"wrong reply", Fault::FromAddress(2), true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DetectorConfig config;
    config.present = c.present;
    SimulatedDetector detector(config);
    if (c.fault) detector.SetFault(*c.fault);
    Cli run(On(detector, {"voltage", "-a", "1"}));
    EXPECT_EQ(run.Finish(), c.status) << run.Err();
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(LineCount(run.Err()), 1) << run.Err();
  }
  // (A port that does not open, 6, is the network test's, with each kind of line.)
}

// Bad usage: status 2, one line on standard error, and nothing sent (the port is not opened).
// Found before the port is opened: bad usage, not a port that does not open.
TEST(CliUsage, BadInputSendsNothing) {
  const char* const cases[] = {
      "voltage -a 256", "voltage -a 0", "voltage -a 1.5", "voltage -a 1,2", "voltage",
      "set-address 256", "set-address 0", "set-address 7.0", "set-address", "frobnicate",
      "voltage -a 1 --every 1s", "scan --from 0", "scan --to 256", "scan --from 9 --to 8",
      "scan --wait 19", "scan --wait 1301", "watch -a 1", "watch -a 1 --every 0s",
      "watch -a 1 --every 10", "watch -a 1 --every 1d", "watch -a 1 --every 1000000000ms",
      // Longer than a week.
      "watch -a 1 --every 604801s --count 1", "watch -a 1 --every 10081m --count 1",
      "watch -a 1 --every 169h --count 1", "watch -a 1 --every 604800001ms --count 1",
      "watch -a 1 --every 3000000h --count 4", "watch -a 1 --every 1s --count 0",
      "voltage -a 1 --format xml"};
  SimulatedDetector detector;
  for (const char* arguments : cases) {
    SCOPED_TRACE(arguments);
    Cli run(On(detector, Words(arguments)));
    EXPECT_EQ(run.Finish(), 2);
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(LineCount(run.Err()), 1) << run.Err();
    Cli noPort(Words(arguments) << "-p"
                                << "/dev/no-such-port");
    EXPECT_EQ(noPort.Finish(), 2) << noPort.Err();
  }
  for (const char* port : {"COM0", "COM257", "ttyUSB0"}) {
    Cli run({"voltage", "-a", "1", "-p", port});
    EXPECT_EQ(run.Finish(), 2) << port;
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(detector.ExchangeCount(), 0U);
}

// The edges that are taken: the last address, the shortest and longest scan waits, the longest
// interval (a week) in each unit.
TEST(CliUsage, EdgesAccepted) {
  SimulatedDetector detector(At(255));
  for (const char* arguments :
       {"voltage -a 255", "scan --from 255 --wait 20", "scan --from 255 --to 255 --wait 1300",
        "watch -a 255 --every 604800000ms --count 1", "watch -a 255 --every 604800s --count 1",
        "watch -a 255 --every 10080m --count 1", "watch -a 255 --every 168h --count 1"}) {
    SCOPED_TRACE(arguments);
    Cli run(On(detector, Words(arguments)));
    EXPECT_EQ(run.Finish(), 0) << run.Err();
  }
}

// The formats, read back by Python's csv module and by a JSON parser.
TEST(CliFormats, CsvAndJsonParse) {
  const auto recent = [](const QJsonValue& time) {
    const QDateTime when = QDateTime::fromString(time.toString(), Qt::ISODateWithMs);
    return std::abs(when.msecsTo(QDateTime::currentDateTime())) < 5000;
  };
  SimulatedDetector detector;
  Cli json(On(detector, {"voltage", "-a", "1", "--format", "json", "-v"}));
  ASSERT_EQ(json.Finish(), 0) << json.Err();
  ASSERT_EQ(json.Objects().size(), 1U) << json.Out();
  const QJsonObject object = json.Objects()[0];
  EXPECT_EQ(object["port"].toString().toStdString(), detector.SlavePath());
  EXPECT_EQ(object["address"].toInt(), 1);
  EXPECT_EQ(object["operation"].toString(), "voltage");
  EXPECT_EQ(object["result"].toString(), "answered");
  EXPECT_EQ(object["value"].toDouble(), 220.0);
  EXPECT_EQ(object["unit"].toString(), "V");
  EXPECT_EQ(object["sent"].toArray(), QJsonArray({"01 03 00 0F 00 01 B4 09"}));
  EXPECT_EQ(object["received"].toString(), "01 03 02 00 DC B9 DD");
  EXPECT_TRUE(recent(object["time"])) << json.Out();

  // The time with its offset from UTC, in a zone that has one; a port whose name holds a quote
  // and a comma (a link to the detector's terminal), quoted in CSV and escaped in JSON.
  QTemporaryDir dir;
  const QString link = dir.filePath(QStringLiteral("karvello,\"port\""));
  ASSERT_TRUE(QFile::link(QString::fromStdString(detector.SlavePath()), link));
  const auto inShanghai = Cli::Options().Set(QStringLiteral("TZ"), QStringLiteral("Asia/Shanghai"));
  Cli zoned({"voltage", "-a", "1", "--format", "json", "-p", link, "--no-record"}, {}, inShanghai);
  ASSERT_EQ(zoned.Finish(), 0) << zoned.Err();
  ASSERT_EQ(zoned.Objects().size(), 1U) << zoned.Out();
  const QJsonObject zonedObject = zoned.Objects()[0];
  EXPECT_EQ(zonedObject["port"].toString(), link);
  EXPECT_TRUE(zonedObject["time"].toString().endsWith("+08:00")) << zoned.Out();
  EXPECT_TRUE(recent(zonedObject["time"])) << zoned.Out();

  detector.SetFault(Fault::Exception(2), 1);
  Cli csv({"voltage", "-a", "1", "--format", "csv", "-p", link, "--no-record"}, {}, inShanghai);
  EXPECT_EQ(csv.Finish(), 4);
  testing::ChildProgram python(
      QStringLiteral(PYTHON3_EXECUTABLE),
      {"-c", "import csv, json, sys; print(json.dumps(list(csv.DictReader(sys.stdin))))"});
  python.Write(QByteArray::fromStdString(csv.Out()));
  python.CloseInput();
  ASSERT_EQ(python.Finish(), 0) << python.Err().toStdString();
  const QJsonArray rows = QJsonDocument::fromJson(python.Out().toUtf8()).array();
  ASSERT_EQ(rows.size(), 1) << csv.Out();
  const QJsonObject row = rows[0].toObject();
  EXPECT_EQ(row["operation"].toString(), "voltage");
  EXPECT_EQ(row["result"].toString(), "refused");
  EXPECT_EQ(row["value"].toString(), "");
  EXPECT_EQ(row["port"].toString(), link);
  EXPECT_TRUE(row["time"].toString().endsWith("+08:00")) << csv.Out();
}

// Three readings a second apart, on the start time's grid; a silent reading is a line, and the
// readings go on.
TEST(CliWatch, ReadsAtItsIntervalThroughAFailure) {
  SimulatedDetector detector;
  Cli run(On(detector, {"watch", "-a", "1", "--every", "1s", "--count", "3", "--format", "json"}));
  ASSERT_TRUE(run.WaitForLines(1, 5s)) << run.Out();
  detector.SetFault(Fault::NoReply(), 1);
  ASSERT_EQ(run.Finish(), 0) << run.Err();
  const auto objects = run.Objects();
  ASSERT_EQ(objects.size(), 3U) << run.Out();
  std::vector<QDateTime> times;
  QStringList results;
  for (const QJsonObject& object : objects) {
    times.push_back(QDateTime::fromString(object["time"].toString(), Qt::ISODateWithMs));
    results << object["result"].toString();
  }
  EXPECT_EQ(results, QStringList({"answered", "no-reply", "answered"}));
  // The failure comes at the reply's 1.3 s time-out; the third reading falls due at its slot at
  // 3 s (the one at 2 s passed during the time-out) rather than follow at once, and its request
  // waits out the guard after the time-out, as long again: it goes at 3.6 s.
  EXPECT_NEAR(times[0].msecsTo(times[1]), 2300, 150);
  EXPECT_NEAR(times[0].msecsTo(times[2]), 3600, 150);

  SimulatedDetector steady;
  Cli plain(On(steady, {"watch", "-a", "1", "--every", "1s", "--count", "3", "--format", "csv"}));
  ASSERT_EQ(plain.Finish(), 0) << plain.Err();
  const QStringList lines = LinesOf(plain.Out());
  ASSERT_EQ(lines.size(), 4) << plain.Out();
  for (int i = 1; i < 3; ++i) {
    const auto a = QDateTime::fromString(lines[i].section(',', 0, 0), Qt::ISODateWithMs);
    const auto b = QDateTime::fromString(lines[i + 1].section(',', 0, 0), Qt::ISODateWithMs);
    EXPECT_NEAR(a.msecsTo(b), 1000, 100) << plain.Out();
  }
}

// A counted watch in which no reading was answered ends with its most telling failure; one
// answered reading makes it 0. A plain watch's failures are lines of its output, not errors.
TEST(CliWatch, CountedWithoutAnAnswerEndsWithItsFailure) {
  const struct {
    Fault fault;
    int times;
    std::string line;  // the first reading's line, after the time stamp
    int status;
  } cases[] = {
      {Fault::Exception(), kPersistent, "address 1  voltage  refused (exception 04)", 4},
      {Fault::BadCrc(), kPersistent, "address 1  voltage  corrupt reply", 5},
      {Fault::NoReply(), kPersistent, "address 1  voltage  no reply in time", 3},
      {Fault::Exception(), 1, "address 1  voltage  refused (exception 04)", 0},
  };
  std::vector<std::unique_ptr<SimulatedDetector>> detectors;
  std::vector<std::unique_ptr<Cli>> runs;
  // (A period that fits a time-out and the guard after it: nothing left out, nothing said.)
  for (const auto& c : cases) {
    detectors.push_back(std::make_unique<SimulatedDetector>());
    detectors.back()->SetFault(c.fault, c.times);
    runs.push_back(std::make_unique<Cli>(
        On(*detectors.back(), {"watch", "-a", "1", "--every", "3s", "--count", "2"})));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].line + " " + std::to_string(cases[i].times));
    EXPECT_EQ(runs[i]->Finish(), cases[i].status) << runs[i]->Err();
    EXPECT_EQ(runs[i]->Err(), "");
    const QStringList lines = LinesOf(runs[i]->Out());
    ASSERT_EQ(lines.size(), 2) << runs[i]->Out();
    EXPECT_EQ(lines[0].mid(21).toStdString(), cases[i].line);
  }
}

// SIGTERM or Ctrl-C ends a watch or a scan after the exchange in progress, with status 0 and
// what was read printed.
TEST(CliSignals, EndAfterTheExchangeInProgress) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    SimulatedDetector detector;
    Cli watch(On(detector, {"watch", "-a", "1", "--every", "10s"}));
    ASSERT_TRUE(watch.WaitForLines(1, 5s));
    const auto asked = std::chrono::steady_clock::now();
    watch.Signal(signal);
    EXPECT_EQ(watch.Finish(2s), 0) << watch.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_NE(watch.Out().find("address 1  voltage  220 V\n"), std::string::npos) << watch.Out();
    EXPECT_EQ(watch.Err(), "");  // between two voltage readings: nothing to wait for, nothing said
  }
  for (const int signal : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    SimulatedDetector detector(At(3));
    Cli scan(On(detector, {"scan", "--wait", "1300", "--format", "csv"}));
    std::this_thread::sleep_for(2s);  // into the silence of address 2
    scan.Signal(signal);
    EXPECT_EQ(scan.Finish(3s), 0) << scan.Err();
    // Stopped in the silence of address 2, after its read: the header alone, address 3 not asked.
    EXPECT_EQ(LineCount(scan.Out()), 1) << scan.Out();
    EXPECT_EQ(detector.ExchangeCount(), 2U);
  }
}

// A watch whose answering detectors cannot fit the period (two measurements of 19 s in 37 s) says
// so as it starts; 38 s fit, and a voltage's time-outs are never said at the start.
TEST(CliWatch, SaysAtTheStartWhenTheMeasurementsCannotFitThePeriod) {
  const struct {
    const char* every;
    const char* operation;
    std::string said;
  } cases[] = {
      {"37s", "--resistance",
       "a round needs at least 38 s (the measurements' delays), longer than the 37 s between "
       "rounds"},
      {"38s", "--resistance", ""},
      {"100ms", "--voltage", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.every);
    SimulatedDetector detector;
    Cli watch(On(detector, {"watch", "-a", "1,2", "--every", c.every, c.operation}));
    ASSERT_TRUE(detector.WaitForExchanges(1, 5s));  // past the start
    watch.Read(200ms);
    if (c.said.empty()) {
      EXPECT_EQ(watch.Err(), "");
    } else {
      EXPECT_NE(watch.Err().find(c.said), std::string::npos) << watch.Err();
    }
    watch.Kill();
  }
}

// Stopped while a measurement is waited for, a watch says it ends after that measurement and in
// about how many seconds (the detector's 19 s less those gone, and a reply's time-out); asked
// again, it ends at once.
TEST(CliSignals, AStopDuringAMeasurementSaysHowLongItTakes) {
  SimulatedDetector detector;
  Cli watch(On(detector, {"watch", "-a", "1", "--every", "60s", "--resistance"}));
  ASSERT_TRUE(detector.WaitForExchanges(1, 5s));  // the measurement started
  std::this_thread::sleep_for(3s);
  watch.Signal(SIGINT);
  const QRegularExpression said(
      "stopping after the measurement in progress at address 1, in about (\\d+) s "
      "\\(again to stop at once\\)\n");
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (!said.match(QString::fromStdString(watch.Err())).hasMatch() &&
         std::chrono::steady_clock::now() < deadline) {
    watch.Read(100ms);
  }
  ASSERT_TRUE(said.match(QString::fromStdString(watch.Err())).hasMatch()) << watch.Err();
  const int seconds = said.match(QString::fromStdString(watch.Err())).captured(1).toInt();
  EXPECT_GE(seconds, 14);  // 19 s less the 3 s (and some) gone, and 1.3 s to read
  EXPECT_LE(seconds, 19);
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(watch.Running()) << "the measurement was cut short";
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Finish(2s), 0) << watch.Err();
  EXPECT_EQ(watch.Out(), "");
}

// Each outcome goes to the record, unless it is turned off.
TEST(CliRecord, EachOutcomeIsRecordedUnlessTurnedOff) {
  QTemporaryDir dir;
  const QString record = dir.filePath(QStringLiteral("record.csv"));
  SimulatedDetector detector(At(5));
  EXPECT_EQ(Cli(On(detector, {"voltage", "-a", "5"}), record).Finish(), 0);
  detector.SetFault(Fault::NoReply(), 1);
  EXPECT_EQ(Cli(On(detector, {"voltage", "-a", "5"}), record).Finish(), 3);
  EXPECT_EQ(Cli(On(detector, {"voltage", "-a", "5"})).Finish(), 0);  // --no-record

  QStringList lines = RecordLines(record);
  ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();
  EXPECT_TRUE(lines[0].startsWith("\xEF\xBB\xBFtime,port,address,operation"));
  EXPECT_TRUE(lines[1].contains(",5,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[2].contains(",5,voltage,no-reply,,,,05 03 00 0F 00 01 B5 8D,"))
      << lines[2].toStdString();
  QFile::remove(record);

  // A scan records the read of each address, silent or not, and the voltage of each detector.
  detector.SetFault(Fault::Exception(), 1);
  EXPECT_EQ(Cli(On(detector, Words("scan --from 4 --to 6 --wait 50")), record).Finish(), 4);
  EXPECT_EQ(Cli(On(detector, Words("scan --from 5 --to 5 --wait 50")), record).Finish(), 0);
  lines = RecordLines(record);
  ASSERT_EQ(lines.size(), 6) << lines.join('|').toStdString();
  const QStringList expected = {",4,read-address,no-reply,", ",5,read-address,refused,",
                                ",6,read-address,no-reply,", ",5,read-address,answered,5,",
                                ",5,voltage,answered,220,V,"};
  for (int i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(lines[i + 1].contains(expected[i])) << lines[i + 1].toStdString();
  }
}

// A record that cannot be written stops nothing: each outage is said on standard error as it
// begins and as it ends, with the rows it cost; one lasting to the end is counted then. (Root
// writes into read-only folders, so the folder is taken by a regular file.)
TEST(CliRecord, EachOutageIsSaidWithTheRowsItCost) {
  QTemporaryDir dir;
  const QString folder = dir.filePath("data");
  const QString record = folder + "/record.csv";
  const std::string failed =
      "karvello-cli: the record " + record.toStdString() + " cannot be written: ";
  SimulatedDetector detector;
  ASSERT_TRUE(testing::BlockFolder(folder));
  Cli voltage(On(detector, {"voltage", "-a", "1"}), record);
  EXPECT_EQ(voltage.Finish(), 0);
  EXPECT_EQ(voltage.Out(), "220 V\n");
  const QStringList said = QString::fromStdString(voltage.Err()).split('\n');
  ASSERT_EQ(said.size(), 3) << voltage.Err();
  EXPECT_TRUE(said[0].startsWith(QString::fromStdString(failed))) << voltage.Err();
  EXPECT_EQ(said[1].toStdString(),
            "karvello-cli: 1 row(s) were not kept in the record " + record.toStdString());

  // Out twice in one watch: two readings lost, then one.
  // Each change is made between two readings: a reading is printed, then recorded.
  Cli watch(On(detector, {"watch", "-a", "1", "--every", "500ms", "--count", "7"}), record);
  const auto after = [&watch](int lines) {
    const bool printed = watch.WaitForLines(lines, 5s);
    std::this_thread::sleep_for(150ms);
    return printed;
  };
  ASSERT_TRUE(after(2));
  ASSERT_TRUE(testing::UnblockFolder(folder));
  ASSERT_TRUE(after(4));
  ASSERT_TRUE(testing::BlockFolder(folder));
  ASSERT_TRUE(after(5));
  ASSERT_TRUE(testing::UnblockFolder(folder));
  EXPECT_EQ(watch.Finish(), 0);
  const std::string again = "karvello-cli: the record " + record.toStdString() +
                            " is written again; %1 row(s) were not kept";
  const QStringList lines = QString::fromStdString(watch.Err()).split('\n');
  ASSERT_EQ(lines.size(), 5) << watch.Err();
  EXPECT_TRUE(lines[0].startsWith(QString::fromStdString(failed))) << watch.Err();
  EXPECT_EQ(lines[1], QString::fromStdString(again).arg(2)) << watch.Err();
  EXPECT_TRUE(lines[2].startsWith(QString::fromStdString(failed))) << watch.Err();
  EXPECT_EQ(lines[3], QString::fromStdString(again).arg(1)) << watch.Err();
  EXPECT_EQ(Record::Read(record, {}).size(), 2U);  // the folder taken again took the first two
}

// Output that cannot be written is status 8 with a line on standard error, and a watch or a scan
// stops after the exchange in progress with its outcomes recorded; a pipe whose reader closes
// it after one line ends the watch quietly with status 0.
TEST(CliOutput, AFailedWriteIsStatus8AndAClosedPipeIsNone) {
  const struct {
    const char* arguments;
    int exchanges;  // each recorded
  } cases[] = {{"voltage -a 1", 1},
               {"voltage -a 1 --format json", 1},
               {"watch -a 1 --every 200ms --count 3 --format csv", 1},
               {"watch -a 1 --every 200ms --count 3", 1},
               // The address and the voltage of the detector at 1, its row the first.
               {"scan --from 1 --to 3 --wait 50", 2},
               {"--help", 0}};
  const auto toFull = Cli::Options().SetUp(
      [](QProcess& process) { process.setStandardOutputFile(QStringLiteral("/dev/full")); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record.csv"));
    SimulatedDetector detector;
    Cli run(On(detector, Words(c.arguments)), record, toFull);
    EXPECT_EQ(run.Finish(), 8) << run.Err();
    EXPECT_EQ(run.Err(),
              "karvello-cli: standard output could not be written: No space left on device\n");
    // The first reading, or the first address, is the last: recorded, and nothing after it.
    EXPECT_EQ(std::max(RecordLines(record).size() - 1, qsizetype{0}), c.exchanges);
    EXPECT_EQ(detector.ExchangeCount(), static_cast<std::size_t>(c.exchanges));
  }

  // The pipe joined before either end starts; the watch's status is its own.
  SimulatedDetector detector;
  QProcess watch;
  QProcess head;
  watch.setStandardOutputProcess(&head);
  head.start(QStringLiteral("head"), {"-n", "1"});
  watch.start(QStringLiteral(KARVELLO_CLI_EXECUTABLE),
              On(detector, {"watch", "-a", "1", "--every", "200ms", "--no-record"}));
  ASSERT_TRUE(head.waitForFinished(5000));
  EXPECT_TRUE(head.readAllStandardOutput().endsWith("address 1  voltage  220 V\n"));
  ASSERT_TRUE(watch.waitForFinished(5000));
  EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(watch.exitCode(), 0);
  EXPECT_EQ(watch.readAllStandardError(), "");
}

// A scan finds exactly the detectors that answer as themselves, after reading each address in
// range once. Its status when no detector answered is the most telling failure it met, and an
// address that refused or gave a corrupt reply is a line, not a detector.
TEST(CliScan, CountsOnlyDetectorsThatAnswerAsThemselves) {
  const struct {
    const char* range;
    std::vector<std::pair<int, Fault>> faults;
    std::string out;
    int status;
    std::size_t exchanges;
  } cases[] = {
      {"--from 4 --to 8", {}, "address 5  found, voltage 220 V\n1 detector(s) found\n", 0, 5 + 1},
      {"--from 6 --to 8", {}, "no detector found\n", 3, 3},
      {"--from 2 --to 6",
       {{5, Fault::Exception()}},
       "address 3  found, voltage 220 V\naddress 5  refused (exception 04)\n1 detector(s) found\n",
       0,
       5 + 1},
      {"--from 2 --to 6",
       {{3, Fault::BadCrc()}, {5, Fault::BadCrc()}},
       "address 3  corrupt reply\naddress 5  corrupt reply\nno detector found\n",
       5,
       5},
      {"--from 2 --to 6",
       {{3, Fault::BadCrc()}, {5, Fault::Exception()}},
       "address 3  corrupt reply\naddress 5  refused (exception 04)\nno detector found\n",
       4,
       5},
      {"--from 2 --to 6",
       {{3, Fault::Exception()}, {5, Fault::NoReply()}},
       "address 3  refused (exception 04)\nno detector found\n",
       4,
       5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    SimulatedDetector bus({At(3), At(5)}, {});
    for (const auto& [address, fault] : c.faults) {
      ASSERT_EQ(bus.SetFault(static_cast<std::uint8_t>(address), fault), 1U);
    }
    Cli scan(On(bus, QStringList{"scan", "--wait", "50"} << Words(c.range)));
    EXPECT_EQ(scan.Finish(), c.status) << scan.Err();
    EXPECT_EQ(scan.Out(), c.out);
    EXPECT_EQ(bus.ExchangeCount(), c.exchanges);
  }
}

}  // namespace
}  // namespace karvello
