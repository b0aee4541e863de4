// karvello-cli history run as a program over a record written by the test: the period's edges
// to the millisecond, the addresses and operations asked for, the rows oldest first, the three
// formats read back by standard parsers, and the times it takes and refuses.

#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTimeZone>
#include <string>
#include <vector>

#include "cli/cli_history.h"
#include "support/cli_process.h"
#include "record/csv.h"
#include "present/times.h"
#include "record/record.h"

namespace karvello {
namespace {

using cli::PeriodEnd;

// A record file of the test's, removed with it.
class RecordFile {
 public:
  explicit RecordFile(const std::vector<RecordRow>& rows) : RecordFile(Lines(rows)) {}
  // A file of these lines after the byte-order mark and the header.
  explicit RecordFile(const std::string& lines)
      : path_(QDir::temp().filePath(
            QStringLiteral("karvello-history-%1-%2.csv").arg(::getpid()).arg(++count_))) {
    const std::string text = std::string(kUtf8ByteOrderMark) + std::string(kRecordHeader) + lines;
    QFile file(path_);
    if (file.open(QIODevice::WriteOnly)) file.write(text.data(), static_cast<qint64>(text.size()));
  }
  static std::string Lines(const std::vector<RecordRow>& rows) {
    std::string lines;
    for (const RecordRow& row : rows) lines += CsvLine(row);
    return lines;
  }
  ~RecordFile() { QFile::remove(path_); }
  const QString& Path() const { return path_; }

 private:
  static inline int count_ = 0;
  QString path_;
};

const QDateTime kT0 = QDateTime::fromString("2026-12-07T18:04:06.123+08:00", Qt::ISODateWithMs);

// The row of these fields as the record writes them, read back.
RecordRow Row(const QDateTime& time, int address, const std::string& operation,
              const std::string& result, const std::string& value, const std::string& reply = {}) {
  const std::string unit = value.empty() ? "" : operation == "voltage" ? "V" : "\xCE\xA9";
  const std::string sent = operation == "voltage"
                               ? "05 03 00 0F 00 01 B5 8D"
                               : "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C";
  const std::vector<RecordRow> rows =
      ParseRecord(CsvLine({TimeText(time), "rtu+tcp://10.0.0.7:4001", std::to_string(address),
                           operation, result, value, unit, "", sent, reply},
                          "\r\n"));
  EXPECT_EQ(rows.size(), 1U) << operation << " " << result << " " << value;
  return rows.empty() ? RecordRow{} : rows[0];
}

// The rows around the edges, one written out of the order of its time.
std::vector<RecordRow> EdgeRows() {
  return {
      Row(kT0.addMSecs(-1), 5, "voltage", "answered", "219"),
      Row(kT0, 5, "voltage", "answered", "220"),
      Row(kT0.addSecs(60), 5, "resistance", "answered", "34.5"),
      Row(kT0.addSecs(30), 6, "voltage", "refused", "", "06 83 04 C1 33"),  // written late
      Row(kT0.addSecs(120), 6, "read-resistance", "answered", "OL"),        // by the survey
      Row(kT0.addSecs(120).addMSecs(1), 6, "voltage", "no-reply", ""),
  };
}

// The times of the JSON lines, as printed.
QStringList JsonTimes(const std::string& out) {
  QStringList times;
  for (const QString& line : QString::fromStdString(out).split('\n', Qt::SkipEmptyParts)) {
    QJsonParseError error{};
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8(), &error).object();
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    times << object["time"].toString();
  }
  return times;
}

QString Ms(qint64 msecs) {
  return QString::fromStdString(TimeText(kT0.addMSecs(msecs)));
}

// Which rows each period, address and operation asks for, oldest first: a row at --since or
// --until exactly is in, one a millisecond beyond is not.
TEST(CliHistory, PeriodAddressesAndOperations) {
  const RecordFile record(EdgeRows());
  struct Case {
    QStringList arguments;
    QStringList times;
  };
  const QString t0 = Ms(0);
  const Case cases[] = {
      {{}, {Ms(-1), t0, Ms(30'000), Ms(60'000), Ms(120'000), Ms(120'001)}},
      {{"--since", t0}, {t0, Ms(30'000), Ms(60'000), Ms(120'000), Ms(120'001)}},
      {{"--until", t0}, {Ms(-1), t0}},
      {{"--since", t0, "--until", Ms(120'000)}, {t0, Ms(30'000), Ms(60'000), Ms(120'000)}},
      {{"--since", t0, "--until", t0}, {t0}},
      // The same instant in UTC, and a date alone: its whole day in local time.
      {{"--until", "2026-12-07T10:04:06.123Z"}, {Ms(-1), t0}},
      {{"--since", "2026-12-08", "--until", "2026-12-09"}, {}},
      {{"-a", "6"}, {Ms(30'000), Ms(120'000), Ms(120'001)}},
      {{"-a", "5,6", "--operation", "resistance"}, {Ms(60'000), Ms(120'000)}},
      {{"--address=7"}, {}},
      {{"--operation", "voltage", "--until", Ms(120'000)}, {Ms(-1), t0, Ms(30'000)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    Cli run(QStringList{"history", "--format", "json"} << c.arguments, record.Path());
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_EQ(JsonTimes(run.Out()), c.times);
    EXPECT_EQ(run.Err(), "");
  }
  // A date alone, on whichever day the local time zone puts the rows.
  const QString day = kT0.toLocalTime().date().toString(Qt::ISODate);
  Cli wholeDay({"history", "--format", "json", "--since", day, "--until", day}, record.Path());
  ASSERT_EQ(wholeDay.Finish(), 0) << wholeDay.Err();
  EXPECT_EQ(JsonTimes(wholeDay.Out()).size(), 6) << wholeDay.Out();
}

// A detector set aside and back: rows of their own in each format, among the readings; asked
// for by operation, they are left out as the alarms are.
TEST(CliHistory, ShowsADetectorSetAsideAndBack) {
  std::vector<RecordRow> rows = {Row(kT0, 6, "voltage", "no-reply", "")};
  rows.push_back(SetAsideRow(6, true, "rtu+tcp://10.0.0.7:4001", kT0.addSecs(1)));
  rows.push_back(SetAsideRow(6, false, "rtu+tcp://10.0.0.7:4001", kT0.addSecs(60)));
  rows.push_back(Row(kT0.addSecs(60), 6, "voltage", "answered", "220"));
  const RecordFile record(rows);
  Cli plain({"history"}, record.Path());
  ASSERT_EQ(plain.Finish(), 0) << plain.Err();
  const QStringList lines = QString::fromStdString(plain.Out()).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 4) << plain.Out();
  EXPECT_TRUE(lines[1].endsWith(
      "address 6  set-aside  begun: not answering; read only now and then until it answers"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith("address 6  set-aside  ended: answering again; read every round"))
      << lines[2].toStdString();
  Cli json({"history", "--format", "json"}, record.Path());
  ASSERT_EQ(json.Finish(), 0) << json.Err();
  const QStringList objects = QString::fromStdString(json.Out()).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(objects.size(), 4);
  const QJsonObject begun = QJsonDocument::fromJson(objects[1].toUtf8()).object();
  EXPECT_EQ(begun["operation"].toString(), "set-aside");
  EXPECT_EQ(begun["result"].toString(), "begun");
  EXPECT_EQ(begun["address"].toInt(), 6);
  Cli csv({"history", "--format", "csv"}, record.Path());
  ASSERT_EQ(csv.Finish(), 0) << csv.Err();
  EXPECT_NE(csv.Out().find(",6,set-aside,ended,,"), std::string::npos) << csv.Out();
  Cli voltage({"history", "--format", "json", "--operation", "voltage"}, record.Path());
  ASSERT_EQ(voltage.Finish(), 0) << voltage.Err();
  EXPECT_EQ(JsonTimes(voltage.Out()), (QStringList{Ms(0), Ms(60'000)}));
}

// The three formats of the same rows: the plain lines in the command's words, CSV through the
// project's reader, JSON through Qt's.
TEST(CliHistory, FormatsParse) {
  const RecordFile record(EdgeRows());
  Cli plain({"history", "--since", Ms(0), "--until", Ms(60'000)}, record.Path());
  ASSERT_EQ(plain.Finish(), 0) << plain.Err();
  const QStringList lines = QString::fromStdString(plain.Out()).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3) << plain.Out();
  // The time as the record holds it, with the offset it was made at.
  EXPECT_EQ(lines[0], "2026-12-07 18:04:06  address 5  voltage  220 V");
  EXPECT_TRUE(lines[1].endsWith("  address 6  voltage  refused (exception 04)")) << plain.Out();
  EXPECT_TRUE(lines[2].endsWith("  address 5  resistance  34.5 Ω")) << plain.Out();

  Cli csv({"history", "--format", "csv", "-v", "-a", "6"}, record.Path());
  ASSERT_EQ(csv.Finish(), 0) << csv.Err();
  const auto rows = SplitCsv(csv.Out());
  ASSERT_EQ(rows.size(), 4U) << csv.Out();
  EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "port", "address", "operation", "result",
                                               "value", "unit", "sent", "received"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{Ms(30'000).toStdString(), "rtu+tcp://10.0.0.7:4001",
                                               "6", "voltage", "refused", "", "",
                                               "05 03 00 0F 00 01 B5 8D", "06 83 04 C1 33"}));
  EXPECT_EQ(rows[2][4], "answered");
  EXPECT_EQ(rows[2][5], "OL");
  EXPECT_EQ(rows[2][6], "Ω");
  EXPECT_EQ(rows[2][7], "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C");
  EXPECT_EQ(rows[3][4], "no-reply");

  Cli json({"history", "--format", "json", "-v", "--operation", "resistance"}, record.Path());
  ASSERT_EQ(json.Finish(), 0) << json.Err();
  const QStringList objects = QString::fromStdString(json.Out()).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(objects.size(), 2) << json.Out();
  const QJsonObject first = QJsonDocument::fromJson(objects[0].toUtf8()).object();
  EXPECT_EQ(first["value"].toDouble(), 34.5);
  EXPECT_EQ(first["unit"].toString(), "Ω");
  EXPECT_EQ(first["sent"].toArray().size(), 2);
  EXPECT_EQ(QDateTime::fromString(first["time"].toString(), Qt::ISODateWithMs), kT0.addSecs(60));
  // Over range: the value stays a number or null, and says so apart.
  const QJsonObject overRange = QJsonDocument::fromJson(objects[1].toUtf8()).object();
  EXPECT_TRUE(overRange["value"].isNull());
  EXPECT_EQ(overRange["over_range"], true);
  EXPECT_EQ(first["over_range"], false);

  // Nothing in the period: a line saying so, the header alone, nothing.
  const std::string nothing = "nothing recorded in " + record.Path().toStdString() + "\n";
  for (const auto& [format, out] : {std::pair{"plain", nothing.c_str()},
                                    {"csv", "time,port,address,operation,result,value,unit\n"},
                                    {"json", ""}}) {
    Cli none({"history", "-a", "9", "--format", format}, record.Path());
    EXPECT_EQ(none.Finish(), 0) << none.Err();
    EXPECT_EQ(none.Out(), out) << format;
  }
}

// Rows of two ports, an alarm and a reply that came again: -p keeps a port's rows, the plain
// lines name the port only when the rows hold more than one, --operation alarm lists the alarms,
// a row marked "again" is shown as such, and --record reads the file it names.
TEST(CliHistory, PortsAlarmsRepliesAgainAndAnotherRecord) {
  const std::string tcp = "rtu+tcp://10.0.0.7:4001";
  const auto line = [](const QDateTime& time, const std::string& port, const std::string& address,
                       const std::string& operation, const std::string& result,
                       const std::string& value, const std::string& unit,
                       const std::string& again = "", const std::string& sent = "") {
    return CsvLine({TimeText(time), port, address, operation, result, value, unit, again, sent,
                    ""},
                   "\r\n");
  };
  const std::string voltage = "05 03 00 0F 00 01 B5 8D";
  const RecordFile record(line(kT0, "COM1", "5", "voltage", "answered", "220", "V", "", voltage) +
                          line(kT0.addSecs(1), tcp, "5", "voltage", "answered", "221", "V", "",
                               voltage) +
                          line(kT0.addSecs(2), "COM1", "5", "voltage", "answered", "220", "V",
                               "yes", voltage) +
                          line(kT0.addSecs(3), "COM1", "1", "alarm", "raised", "34.5", "\xCE\xA9"));
  const std::string at0 = DisplayTimeText(kT0);
  const std::string at1 = DisplayTimeText(kT0.addSecs(1));
  const std::string at2 = DisplayTimeText(kT0.addSecs(2));
  const std::string at3 = DisplayTimeText(kT0.addSecs(3));
  const std::string again = "  (again: a late or repeated reply)";
  const struct {
    QStringList arguments;
    std::string out;
  } cases[] = {
      {{},
       at0 + "  COM1  address 5  voltage  220 V\n" + at1 + "  " + tcp +
           "  address 5  voltage  221 V\n" + at2 + "  COM1  address 5  voltage  220 V" + again +
           "\n"},
      {{"-p", "COM1"},
       at0 + "  address 5  voltage  220 V\n" + at2 + "  address 5  voltage  220 V" + again + "\n"},
      {{"-p", QString::fromStdString(tcp)}, at1 + "  address 5  voltage  221 V\n"},
      {{"--operation", "alarm"}, at3 + "  address 1  alarm  raised: 34.5 \xCE\xA9\n"},
      {{"--operation", "alarm", "-p", QString::fromStdString(tcp)},
       "nothing recorded in " + record.Path().toStdString() + "\n"},
      {{"-p", "COM2"}, "nothing recorded in " + record.Path().toStdString() + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    Cli run(QStringList{"history"} << c.arguments, record.Path());
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_EQ(run.Out(), c.out);
  }
  // In JSON the reply that came again says so; an alarm is a row of its own.
  Cli json({"history", "--format", "json", "-p", "COM1"}, record.Path());
  ASSERT_EQ(json.Finish(), 0) << json.Err();
  const std::vector<QJsonObject> objects = json.Objects();
  ASSERT_EQ(objects.size(), 2U) << json.Out();
  EXPECT_FALSE(objects[0].contains("again"));
  EXPECT_EQ(objects[1]["again"], true);
  Cli alarms({"history", "--format", "csv", "--operation", "alarm"}, record.Path());
  ASSERT_EQ(alarms.Finish(), 0) << alarms.Err();
  const auto rows = SplitCsv(alarms.Out());
  ASSERT_EQ(rows.size(), 2U) << alarms.Out();
  EXPECT_EQ(rows[1], (std::vector<std::string>{TimeText(kT0.addSecs(3)), "COM1", "1", "alarm",
                                               "raised", "34.5", "\xCE\xA9"}));

  // --record: that file, not the one of the environment.
  const RecordFile empty(std::string{});
  Cli other({"history", "--record", record.Path(), "-p", "COM1"}, empty.Path());
  ASSERT_EQ(other.Finish(), 0) << other.Err();
  EXPECT_EQ(QString::fromStdString(other.Out()).count('\n'), 2) << other.Out();
  Cli own({"history"}, empty.Path());
  ASSERT_EQ(own.Finish(), 0) << own.Err();
  EXPECT_EQ(own.Out(), "nothing recorded in " + empty.Path().toStdString() + "\n");
}

// A row Karvello never writes, in a file tampered with or damaged, is left out, counted and said
// on standard error; the rows around it are shown.
TEST(CliHistory, ATamperedRowIsLeftOutCountedAndSaid) {
  const QDateTime now = QDateTime::currentDateTime();
  const std::string before = CsvLine(Row(now.addSecs(-60), 5, "voltage", "answered", "219"));
  const std::string after = CsvLine(Row(now.addSecs(-20), 5, "voltage", "answered", "221"));
  const std::string at = TimeText(now.addSecs(-40)) + ",COM1,";
  const std::string frames = ",05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n";
  const struct {
    const char* what;
    std::string line;
  } cases[] = {
      {"address 999", at + "999,voltage,answered,220,V," + frames},
      {"address 0 for a voltage", at + "0,voltage,answered,220,V," + frames},
      {"a value of -5", at + "5,voltage,answered,-5,V," + frames},
      {"a value of 1e309", at + "5,resistance,answered,1e309,\xCE\xA9," + frames},
      {"a value of NaN", at + "5,resistance,answered,NaN,\xCE\xA9," + frames},
      {"an answer without a value", at + "5,voltage,answered,,," + frames},
      {"no reply with a value", at + "5,voltage,no-reply,220,V," + frames},
      {"a row dated 2099", "2099-12-07T18:04:06.123+08:00,COM1,5,voltage,answered,220,V," + frames},
      {"an operation not known", at + "5,frobnicate,answered,220,V," + frames},
  };
  for (const auto& c : cases) {
    const RecordFile record(before + c.line + after);
    Cli run({"history", "--format", "json", "--since", "7d"}, record.Path());
    ASSERT_EQ(run.Finish(), 0) << c.what << run.Err();
    EXPECT_EQ(JsonTimes(run.Out()), (QStringList{QString::fromStdString(TimeText(now.addSecs(-60))),
                                                 QString::fromStdString(TimeText(now.addSecs(-20)))}))
        << c.what;
    EXPECT_EQ(run.Err(), "karvello-cli: 1 damaged line(s) of the record were not read\n") << c.what;
  }
}

// A port that a spreadsheet would run as a formula is written as text in CSV, whatever it begins
// with; the others, and the numbers of the value column, as they are. A quoted port is read whole,
// its line ends and CRs in it, even a line end before a time.
TEST(CliHistory, CsvCellsAreNeverFormulasAndQuotedPortsAreReadWhole) {
  const QDateTime now = QDateTime::currentDateTime();
  const struct {
    std::string port;
    std::string shown;
  } cases[] = {
      {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
      {"+1", "'+1"},
      {"-1+1", "'-1+1"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tx", "'\tx"},
      {"\rx", "'\rx"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COM1=", "COM1="},
      {"/dev/a\nb", "/dev/a\nb"},
      {"/dev/a\rb", "/dev/a\rb"},
      {"/dev/a\n" + TimeText(now), "/dev/a\n" + TimeText(now)},
  };
  for (const auto& c : cases) {
    RecordRow row = Row(now.addSecs(-60), 5, "voltage", "answered", "220");
    row.port = c.port;
    const RecordFile record(std::vector<RecordRow>{row});
    Cli run({"history", "--format", "csv"}, record.Path());
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_EQ(run.Err(), "");
    const auto rows = SplitCsv(run.Out());
    ASSERT_EQ(rows.size(), 2U) << run.Out();
    EXPECT_EQ(rows[1][1], c.shown);
    EXPECT_EQ(rows[1][5], "220");
  }
}

// A time back from now: 7 days back takes a row made a minute after that and not one a minute
// before.
TEST(CliHistory, TimeBackFromNow) {
  const QDateTime now = QDateTime::currentDateTime();
  const RecordFile record({Row(now.addDays(-7).addSecs(-60), 5, "voltage", "answered", "219"),
                           Row(now.addDays(-7).addSecs(60), 5, "voltage", "answered", "220"),
                           Row(now.addSecs(-13 * 3600), 5, "voltage", "answered", "221")});
  struct Case {
    const char* since;
    int rows;
  };
  for (const Case& c : {Case{"7d", 2}, Case{"12h", 0}, Case{"14h", 1}, Case{"8d", 3}}) {
    Cli run({"history", "--format", "json", "--since", c.since}, record.Path());
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_EQ(JsonTimes(run.Out()).size(), c.rows) << c.since;
  }
}

// Times and options refused as bad usage; a record that cannot be read is status 1.
TEST(CliHistory, BadUsageAndAnUnreadableRecord) {
  const RecordFile record(EdgeRows());
  const std::vector<QStringList> cases = {
      {"--since", "2026-13-01"},
      {"--since", "2026-12-07T25:00"},
      {"--since", "2026-12-7"},
      {"--since", "7"},
      {"--since", "7x"},
      {"--since", "7ms"},
      {"--until", "yesterday"},
      {"--until", ""},
      {"--since", "2026-12-08", "--until", "2026-12-07"},
      {"--since", Ms(1), "--until", Ms(0)},
      {"--operation", "set-address"},
      {"-a", "256"},
      {"--every", "1s"},
      {"extra"},
  };
  for (const QStringList& arguments : cases) {
    SCOPED_TRACE(arguments.join(' ').toStdString());
    Cli run(QStringList{"history"} << arguments, record.Path());
    EXPECT_EQ(run.Finish(), 2);
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(QString::fromStdString(run.Err()).count('\n'), 1) << run.Err();
  }
  const QString folderPath =
      QDir::temp().filePath(QStringLiteral("karvello-history-folder-%1").arg(::getpid()));
  ASSERT_TRUE(QDir().mkpath(folderPath));
  Cli folder({"history"}, folderPath);
  EXPECT_EQ(folder.Finish(), 1);
  EXPECT_EQ(folder.Out(), "nothing recorded in " + folderPath.toStdString() + "\n");
  EXPECT_NE(folder.Err().find("karvello-cli: the record cannot be read: "), std::string::npos)
      << folder.Err();
  QDir(folderPath).removeRecursively();
  QFile::remove(folderPath + ".lock");
}

// The forms of a time, against a fixed now.
TEST(CliHistory, TimeForms) {
  const QDateTime now = QDateTime::fromString("2026-12-08T12:00:00.000Z", Qt::ISODateWithMs);
  const QDate day(2026, 12, 7);
  struct Case {
    const char* text;
    PeriodEnd end;
    QDateTime time;
  };
  const Case cases[] = {
      {"2026-12-07", PeriodEnd::kSince, day.startOfDay()},
      {"2026-12-07", PeriodEnd::kUntil, day.startOfDay().addDays(1).addMSecs(-1)},
      {"2026-12-07T18:04", PeriodEnd::kUntil, QDateTime(day, QTime(18, 4))},
      {"2026-12-07 18:04:30.250", PeriodEnd::kSince, QDateTime(day, QTime(18, 4, 30, 250))},
      {"2026-12-07T18:04:06.123+08:00", PeriodEnd::kSince, kT0},
      {"7d", PeriodEnd::kSince, now.addDays(-7)},
      {"12h", PeriodEnd::kUntil, now.addSecs(-12 * 3600)},
      {"30m", PeriodEnd::kSince, now.addSecs(-30 * 60)},
      {"45s", PeriodEnd::kSince, now.addSecs(-45)},
  };
  for (const Case& c : cases) {
    const auto time = cli::ParseHistoryTime(c.text, c.end, now);
    ASSERT_TRUE(time) << c.text;
    EXPECT_EQ(time->toMSecsSinceEpoch(), c.time.toMSecsSinceEpoch()) << c.text;
  }
  for (const char* text : {"", "d", "0d", "1000000000h", "-7d", "2026-12-07T", "2026-02-30"}) {
    EXPECT_FALSE(cli::ParseHistoryTime(text, PeriodEnd::kSince, now)) << text;
  }
}

}  // namespace
}  // namespace karvello
