// karvello-cli history run as a program over a record written by the test: the period's edges
// to the millisecond, the addresses and operations asked for, the rows oldest first, the three
// formats read back by standard parsers, and the times it takes and refuses.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimeZone>
#include <string>
#include <vector>

#include "cli/cli_history.h"
#include "present/times.h"
#include "record/csv.h"
#include "record/record.h"
#include "support/cli_process.h"

namespace karvello {
namespace {

using cli::PeriodEnd;

// A record file of these rows, or of these lines after the byte-order mark and the header,
// removed with it.
class RecordFile {
 public:
  explicit RecordFile(const std::vector<RecordRow>& rows) : RecordFile(Lines(rows)) {}
  explicit RecordFile(const std::string& lines) {
    QFile file(Path());
    if (file.open(QIODevice::WriteOnly)) {
      file.write(QByteArray::fromStdString(std::string(kUtf8ByteOrderMark) +
                                           std::string(kRecordHeader) + lines));
    }
  }
  static std::string Lines(const std::vector<RecordRow>& rows) {
    std::string lines;
    for (const RecordRow& row : rows) lines += CsvLine(row);
    return lines;
  }
  QString Path() const { return folder_.filePath(QStringLiteral("record.csv")); }

 private:
  QTemporaryDir folder_;
};

const QDateTime kT0 = QDateTime::fromString("2026-12-07T18:04:06.123+08:00", Qt::ISODateWithMs);
const std::string kTcp = "rtu+tcp://10.0.0.7:4001";

// The row of these fields as the record writes them, read back.
RecordRow Row(const QDateTime& time, int address, const std::string& operation,
              const std::string& result, const std::string& value, const std::string& reply = {},
              const std::string& port = kTcp) {
  const std::string unit = value.empty() ? "" : operation == "voltage" ? "V" : "\xCE\xA9";
  const std::string sent = operation == "voltage" ? "05 03 00 0F 00 01 B5 8D"
                           : operation == "alarm"
                               ? ""
                               : "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C";
  const std::vector<RecordRow> rows =
      ParseRecord(CsvLine({TimeText(time), port, std::to_string(address), operation, result, value,
                           unit, "", sent, reply},
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

struct Output {
  std::string out;
  std::string err;
  std::vector<QJsonObject> objects;  // each line's, with --format json
  QStringList lines;
  QStringList times;  // the objects' times, as printed
};

// history with `arguments` over `record`, which it ends with `status`.
Output History(const QString& record, const QStringList& arguments, int status = 0) {
  Cli run(QStringList{"history"} << arguments, record);
  EXPECT_EQ(run.Finish(), status) << run.Err();
  Output output{run.Out(),
                run.Err(),
                run.Objects(),
                QString::fromStdString(run.Out()).split('\n', Qt::SkipEmptyParts),
                {}};
  for (const QJsonObject& object : output.objects) output.times << object["time"].toString();
  return output;
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
  // A date alone, on whichever day the local time zone puts the rows.
  const QString day = kT0.toLocalTime().date().toString(Qt::ISODate);
  const QStringList all = {Ms(-1), t0, Ms(30'000), Ms(60'000), Ms(120'000), Ms(120'001)};
  const Case cases[] = {
      {{}, all},
      {{"--since", t0}, {t0, Ms(30'000), Ms(60'000), Ms(120'000), Ms(120'001)}},
      {{"--until", t0}, {Ms(-1), t0}},
      {{"--since", t0, "--until", Ms(120'000)}, {t0, Ms(30'000), Ms(60'000), Ms(120'000)}},
      {{"--since", t0, "--until", t0}, {t0}},
      // The same instant in UTC, and a date alone: its whole day in local time.
      {{"--until", "2026-12-07T10:04:06.123Z"}, {Ms(-1), t0}},
      {{"--since", "2026-12-08", "--until", "2026-12-09"}, {}},
      {{"--since", day, "--until", day}, all},
      {{"-a", "6"}, {Ms(30'000), Ms(120'000), Ms(120'001)}},
      {{"-a", "5,6", "--operation", "resistance"}, {Ms(60'000), Ms(120'000)}},
      {{"--address=7"}, {}},
      {{"--operation", "voltage", "--until", Ms(120'000)}, {Ms(-1), t0, Ms(30'000)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    const Output run = History(record.Path(), QStringList{"--format", "json"} << c.arguments);
    EXPECT_EQ(run.times, c.times);
    EXPECT_EQ(run.err, "");
  }
}

// A detector set aside and back: rows of their own in each format, among the readings; asked
// for by operation, they are left out as the alarms are.
TEST(CliHistory, ShowsADetectorSetAsideAndBack) {
  const RecordFile record({Row(kT0, 6, "voltage", "no-reply", ""),
                           SetAsideRow(6, true, kTcp, kT0.addSecs(1)),
                           SetAsideRow(6, false, kTcp, kT0.addSecs(60)),
                           Row(kT0.addSecs(60), 6, "voltage", "answered", "220")});
  const QStringList lines = History(record.Path(), {}).lines;
  ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[1].endsWith(
      "address 6  set-aside  begun: not answering; read only now and then until it answers"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith("address 6  set-aside  ended: answering again; read every round"))
      << lines[2].toStdString();
  const auto objects = History(record.Path(), {"--format", "json"}).objects;
  ASSERT_EQ(objects.size(), 4U);
  EXPECT_EQ(objects[1]["operation"].toString(), "set-aside");
  EXPECT_EQ(objects[1]["result"].toString(), "begun");
  EXPECT_EQ(objects[1]["address"].toInt(), 6);
  const std::string csv = History(record.Path(), {"--format", "csv"}).out;
  EXPECT_NE(csv.find(",6,set-aside,ended,,"), std::string::npos) << csv;
  EXPECT_EQ(History(record.Path(), {"--format", "json", "--operation", "voltage"}).times,
            (QStringList{Ms(0), Ms(60'000)}));
}

// The three formats of the same rows: the plain lines in the command's words, CSV through the
// project's reader, JSON through Qt's.
TEST(CliHistory, FormatsParse) {
  const RecordFile record(EdgeRows());
  const QStringList lines = History(record.Path(), {"--since", Ms(0), "--until", Ms(60'000)}).lines;
  ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
  // The time as the record holds it, with the offset it was made at.
  EXPECT_EQ(lines[0], "2026-12-07 18:04:06  address 5  voltage  220 V");
  EXPECT_TRUE(lines[1].endsWith("  address 6  voltage  refused (exception 04)"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith("  address 5  resistance  34.5 Ω")) << lines[2].toStdString();

  const auto rows = SplitCsv(History(record.Path(), {"--format", "csv", "-v", "-a", "6"}).out);
  ASSERT_EQ(rows.size(), 4U);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "port", "address", "operation", "result",
                                               "value", "unit", "sent", "received"}));
  EXPECT_EQ(rows[1],
            (std::vector<std::string>{Ms(30'000).toStdString(), kTcp, "6", "voltage", "refused", "",
                                      "", "05 03 00 0F 00 01 B5 8D", "06 83 04 C1 33"}));
  EXPECT_EQ(rows[2][4], "answered");
  EXPECT_EQ(rows[2][5], "OL");
  EXPECT_EQ(rows[2][6], "Ω");
  EXPECT_EQ(rows[2][7], "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C");
  EXPECT_EQ(rows[3][4], "no-reply");

  const auto objects =
      History(record.Path(), {"--format", "json", "-v", "--operation", "resistance"}).objects;
  ASSERT_EQ(objects.size(), 2U);
  EXPECT_EQ(objects[0]["value"].toDouble(), 34.5);
  EXPECT_EQ(objects[0]["unit"].toString(), "Ω");
  EXPECT_EQ(objects[0]["sent"].toArray().size(), 2);
  EXPECT_EQ(QDateTime::fromString(objects[0]["time"].toString(), Qt::ISODateWithMs),
            kT0.addSecs(60));
  // Over range: the value stays a number or null, and says so apart.
  EXPECT_TRUE(objects[1]["value"].isNull());
  EXPECT_EQ(objects[1]["over_range"], true);
  EXPECT_EQ(objects[0]["over_range"], false);

  // Nothing in the period: a line saying so, the header alone, nothing.
  const std::string nothing = "nothing recorded in " + record.Path().toStdString() + "\n";
  for (const auto& [format, out] : {std::pair{"plain", nothing.c_str()},
                                    {"csv", "time,port,address,operation,result,value,unit\n"},
                                    {"json", ""}}) {
    EXPECT_EQ(History(record.Path(), {"-a", "9", "--format", format}).out, out) << format;
  }
}

// Rows of two ports, an alarm and a reply that came again: -p keeps a port's rows, the plain
// lines name the port only when the rows hold more than one, --operation alarm lists the alarms,
// a row marked "again" is shown as such, and --record reads the file it names.
TEST(CliHistory, PortsAlarmsRepliesAgainAndAnotherRecord) {
  RecordRow again = Row(kT0.addSecs(2), 5, "voltage", "answered", "220", "", "COM1");
  again.again = true;
  const RecordFile record({Row(kT0, 5, "voltage", "answered", "220", "", "COM1"),
                           Row(kT0.addSecs(1), 5, "voltage", "answered", "221"), again,
                           Row(kT0.addSecs(3), 1, "alarm", "raised", "34.5", "", "COM1")});
  const std::string at0 = DisplayTimeText(kT0);
  const std::string at1 = DisplayTimeText(kT0.addSecs(1));
  const std::string at2 = DisplayTimeText(kT0.addSecs(2));
  const std::string said = "  (again: a late or repeated reply)";
  const std::string nothing = "nothing recorded in " + record.Path().toStdString() + "\n";
  const struct {
    QStringList arguments;
    std::string out;
  } cases[] = {
      {{},
       at0 + "  COM1  address 5  voltage  220 V\n" + at1 + "  " + kTcp +
           "  address 5  voltage  221 V\n" + at2 + "  COM1  address 5  voltage  220 V" + said +
           "\n"},
      {{"-p", "COM1"},
       at0 + "  address 5  voltage  220 V\n" + at2 + "  address 5  voltage  220 V" + said + "\n"},
      {{"-p", QString::fromStdString(kTcp)}, at1 + "  address 5  voltage  221 V\n"},
      {{"--operation", "alarm"},
       DisplayTimeText(kT0.addSecs(3)) + "  address 1  alarm  raised: 34.5 \xCE\xA9\n"},
      {{"--operation", "alarm", "-p", QString::fromStdString(kTcp)}, nothing},
      {{"-p", "COM2"}, nothing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    EXPECT_EQ(History(record.Path(), c.arguments).out, c.out);
  }
  // In JSON the reply that came again says so; an alarm is a row of its own.
  const auto objects = History(record.Path(), {"--format", "json", "-p", "COM1"}).objects;
  ASSERT_EQ(objects.size(), 2U);
  EXPECT_FALSE(objects[0].contains("again"));
  EXPECT_EQ(objects[1]["again"], true);
  const auto rows =
      SplitCsv(History(record.Path(), {"--format", "csv", "--operation", "alarm"}).out);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[1], (std::vector<std::string>{TimeText(kT0.addSecs(3)), "COM1", "1", "alarm",
                                               "raised", "34.5", "\xCE\xA9"}));

  // --record: that file, not the one of the environment.
  const RecordFile empty(std::string{});
  EXPECT_EQ(History(empty.Path(), {"--record", record.Path(), "-p", "COM1"}).lines.size(), 2);
  EXPECT_EQ(History(empty.Path(), {}).out,
            "nothing recorded in " + empty.Path().toStdString() + "\n");
}

// A row Karvello never writes, in a file tampered with or damaged, is left out, counted and said
// on standard error; the rows around it are shown. (Which rows are damaged, each kind, is the
// record's own test's.)
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
      {"a value of NaN", at + "5,resistance,answered,NaN,\xCE\xA9," + frames},
      {"a row dated 2099", "2099-12-07T18:04:06.123+08:00,COM1,5,voltage,answered,220,V," + frames},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const RecordFile record(before + c.line + after);
    const Output run = History(record.Path(), {"--format", "json", "--since", "7d"});
    EXPECT_EQ(run.times, (QStringList{QString::fromStdString(TimeText(now.addSecs(-60))),
                                      QString::fromStdString(TimeText(now.addSecs(-20)))}));
    EXPECT_EQ(run.err, "karvello-cli: 1 damaged line(s) of the record were not read\n");
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
    SCOPED_TRACE(c.port);
    RecordRow row = Row(now.addSecs(-60), 5, "voltage", "answered", "220");
    row.port = c.port;
    const RecordFile record(std::vector<RecordRow>{row});
    const Output run = History(record.Path(), {"--format", "csv"});
    EXPECT_EQ(run.err, "");
    const auto rows = SplitCsv(run.out);
    ASSERT_EQ(rows.size(), 2U) << run.out;
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
  for (const auto& [since, rows] : {std::pair{"7d", 2}, {"12h", 0}, {"14h", 1}, {"8d", 3}}) {
    EXPECT_EQ(History(record.Path(), {"--format", "json", "--since", since}).times.size(), rows)
        << since;
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
    const Output run = History(record.Path(), arguments, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(QString::fromStdString(run.err).count('\n'), 1) << run.err;
  }
  QTemporaryDir dir;
  const QString folder = dir.filePath(QStringLiteral("record"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const Output run = History(folder, {}, 1);
  EXPECT_EQ(run.out, "nothing recorded in " + folder.toStdString() + "\n");
  EXPECT_NE(run.err.find("karvello-cli: the record cannot be read: "), std::string::npos)
      << run.err;
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
