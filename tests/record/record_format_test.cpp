// The record's format: each outcome's row byte for byte and back, CSV quoting, and reading a
// record's text around damaged lines, its times and addresses as Qt reads them.
#include "record/record_format.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <tuple>

#include "record/csv.h"
#include "record/record_rows.h"

namespace karvello {
namespace {

using namespace record_rows;

constexpr char kAt[] = "2026-12-07T18:04:06.123+08:00,COM1,";  // the time and port of most rows
// A reader's clock far ahead, for rows of any time.
const RecordQuery kAnyTime{.now = QDateTime(QDate(2200, 1, 1), QTime(0, 0), Qt::UTC)};

TEST(RecordRow, EachOutcomeGivesItsLine) {
  const auto kVoltage = Operation::kQueryVoltage;
  const auto kResistance = Operation::kQueryResistance;
  const std::string measured = "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,";
  Outcome late = Made(kVoltage, 5, Result::kAnswered, "05 03 02 00 DC 48 1D", Reading{220});
  late.again = true;
  const auto row = [](const Outcome& outcome) { return RowOf(outcome, "COM1", kWhen); };
  const auto alarm = [](bool raised, AlarmKind kind, Outcome reading) {
    return RowOf(AlarmChange{std::move(reading), 7, raised,
                             kind == AlarmKind::kNoAnswer ? 0.0 : 10.0, kWhen, kind},
                 "COM1");
  };
  const Outcome resistance7 = Made(Operation::kReadResistance, 7, Result::kAnswered,
                                   "07 03 04 01 59 00 01 AF DC", Reading{345, 1});
  const Outcome silent7 = Made(kVoltage, 7, Result::kNoReply);
  const Outcome answered7 =
      Made(kVoltage, 7, Result::kAnswered, "07 03 02 00 DC 48 1D", Reading{220});
  const struct {
    RecordRow row;
    std::string fields;  // after the time and the port of kAt
    std::string at = kAt;
  } cases[] = {
      {row(Made(kVoltage, 5, Result::kAnswered, "05 03 02 00 DC 48 1D", Reading{220})),
       "5,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D"},
      {row(Made(kResistance, 5, Result::kAnswered, "05 03 04 01 59 00 01 AF DC", Reading{345, 1})),
       "5,resistance,answered,34.5,\xCE\xA9,," + measured + "05 03 04 01 59 00 01 AF DC"},
      {row(Made(kResistance, 5, Result::kAnswered, "05 03 04 00 05 00 02 2E 33", Reading{5, 2})),
       "5,resistance,answered,0.05,\xCE\xA9,," + measured + "05 03 04 00 05 00 02 2E 33"},
      {row(Made(kResistance, 5, Result::kAnswered, "05 03 04 00 00 00 03 FF F2",
                Reading{0, 3, true})),
       "5,resistance,answered,OL,\xCE\xA9,," + measured + "05 03 04 00 00 00 03 FF F2"},
      {row(Made(Operation::kQueryAddress, 0, Result::kAnswered, "07 03 02 00 07 71 86",
                Reading{7})),
       "0,query-address,answered,7,,,00 03 00 12 00 01 25 DE,07 03 02 00 07 71 86"},
      {row(Made(Operation::kSetAddress, 9, Result::kAnswered, "09 06 00 12 00 09 E8 81",
                Reading{9})),
       "9,set-address,answered,9,,,00 06 00 12 00 09 E8 18 | 09 06 00 12 00 09 E8 81,"
       "09 06 00 12 00 09 E8 81"},
      {row(Made(kVoltage, 5, Result::kNoReply)), "5,voltage,no-reply,,,,05 03 00 0F 00 01 B5 8D,"},
      {row(Made(kVoltage, 5, Result::kRefused, "05 83 02 81 30")),
       "5,voltage,refused,,,,05 03 00 0F 00 01 B5 8D,05 83 02 81 30"},
      {row(Made(kVoltage, 5, Result::kWrongReply, "05 03 02 00 F1 88")),
       "5,voltage,wrong-reply,,,,05 03 00 0F 00 01 B5 8D,05 03 02 00 F1 88"},
      {row(Made(kVoltage, 5, Result::kCorrupt, "05 03 02")),
       "5,voltage,corrupt,,,,05 03 00 0F 00 01 B5 8D,05 03 02"},
      {row(Made(kResistance, 5, Result::kLineLost)), "5,resistance,line-lost,,,," + measured},
      {row(Made(kVoltage, 0, Result::kNotSent)), "0,voltage,not-sent,,,,,"},
      // A late reply, west of UTC, on a device whose name needs quoting.
      {RowOf(
           late, "/dev/odd,\"port\"",
           QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, -(5 * 3600 + 1800))),
       "5,voltage,answered,220,V,yes,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D",
       "2027-01-02T03:04:05.006-05:30,\"/dev/odd,\"\"port\"\"\","},
      // An alarm's change: operation "alarm", its state as the result, the reading's value and
      // unit; a no-answer alarm without a value; a detector set aside, begun or ended.
      {alarm(true, AlarmKind::kResistanceLimit, resistance7), "7,alarm,raised,34.5,\xCE\xA9,,,"},
      {alarm(false, AlarmKind::kResistanceLimit, resistance7), "7,alarm,cleared,34.5,\xCE\xA9,,,"},
      {alarm(true, AlarmKind::kNoAnswer, silent7), "7,no-answer,raised,,,,,"},
      {alarm(false, AlarmKind::kNoAnswer, answered7), "7,no-answer,cleared,,,,,"},
      {SetAsideRow(7, true, "COM1", kWhen), "7,set-aside,begun,,,,,"},
      {SetAsideRow(7, false, "COM1", kWhen), "7,set-aside,ended,,,,,"},
  };
  for (const auto& c : cases) {
    const std::string line = c.at + c.fields + "\r\n";
    EXPECT_EQ(CsvLine(c.row), line);
    EXPECT_TRUE(Consistent(c.row)) << c.fields;
    const auto parsed = ParseRecord(line, kAnyTime);  // and back, as it was
    ASSERT_EQ(parsed.size(), 1U) << c.fields;
    EXPECT_EQ(parsed[0], c.row) << c.fields;
    EXPECT_EQ(parsed[0].time.offsetFromUtc(), c.row.time.offsetFromUtc()) << c.fields;
  }
  // An older record's "alarm" rows are the resistance limit's.
  const auto old = ParseRecord(kAt + std::string("7,alarm,raised,34.5,\xCE\xA9,,,\r\n"));
  ASSERT_EQ(old.size(), 1U);
  EXPECT_EQ(old[0].alarmKind, AlarmKind::kResistanceLimit);
}

TEST(Csv, QuotesAFieldOnlyWhenItMustAndReadsItBack) {
  const struct {
    std::string field;
    std::string written;
  } cases[] = {
      {"", ""},
      {"COM1", "COM1"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\rlines", "\"two\rlines\""},
      {"two\nlines", "\"two\nlines\""},
      {"\xCE\xA9", "\xCE\xA9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CsvField(c.field), c.written) << c.field;
    const auto records = SplitCsv(CsvLine({c.field, "next"}, "\r\n"));
    ASSERT_EQ(records.size(), 1U) << c.field;
    EXPECT_EQ(records[0], (std::vector<std::string>{c.field, "next"})) << c.field;
  }
}

// The rows that a text holds and the damaged lines counted, as the parser reads it.
struct Read {
  std::vector<RecordRow> rows;
  std::int64_t damaged = 0;
};
Read ReadText(std::string_view text, const RecordQuery& query = {}) {
  Read read;
  RecordParser parser(query);
  parser.Parse(text, false, [&read](RecordRow&& row) { read.rows.push_back(std::move(row)); });
  read.damaged = parser.Damaged();
  return read;
}

RecordRow WithPort(std::string port) {
  RecordRow row = Row();
  row.port = std::move(port);
  return row;
}

// Each damage lies between 10 whole rows and 50 more: it costs its own line only, and is counted.
TEST(RecordText, ADamagedLineCostsItselfOnlyAndIsCounted) {
  const std::string time = "2026-12-07T18:04:06.123+08:00";
  const std::string cut = time + ",COM1,5,volt";  // a row cut short by a crash
  const std::string frames = ",05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n";
  const std::string tail = ",voltage,answered,220,V," + frames;
  struct Case {
    std::string what;
    std::string damage;
    std::vector<RecordRow> read = {};
    std::int64_t damaged = 1;
  };
  std::vector<Case> cases = {
      {"a row cut short, the next on a line of its own", cut + "\r\n"},
      {"a row cut short, the next appended onto it", cut + CsvLine(Row(7, 99)), {Row(7, 99)}},
      {"a quote not closed in its line", time + ",\"COM1,5" + tail},
      {"a quote not closed at the line end",
       time + ",COM1,5" + tail.substr(0, tail.size() - 2) + ",\"05 03\r\n"},
      // A quote left open by a row cut short does not run on over the rows after it to the next
      // quote, which a quoted port holds.
      {"a quote left open before rows and a quoted port",
       time + ",\"COM1\r\n" + Lines(100, 103) + CsvLine(WithPort("a,b")),
       {Row(5, 100), Row(5, 101), Row(5, 102), WithPort("a,b")}},
      {"a field too many", time + ",COM1,5" + tail.substr(0, tail.size() - 2) + ",more\r\n"},
      {"a time that is no time", "2026-02-30T18:04:06.123+08:00,COM1,5" + tail},
      {"an address that is no number", time + ",COM1,five" + tail},
      {"address 0 for a detector's voltage", time + ",COM1,0" + tail},
      {"an alarm state not known", time + ",COM1,5,alarm,up,34.5,\xCE\xA9,,,\r\n"},
      {"an alarm without its reading", time + ",COM1,5,alarm,raised,,,,,\r\n"},
      {"frames that are no hex", time + ",COM1,5,voltage,answered,220,V,,05 03 0X,\r\n"},
      {"a reply that is no hex", time + ",COM1,5,voltage,answered,220,V,,,05 03 2\r\n"},
      {"a row dated in 2099", "2099-12-07T18:04:06.123+08:00,COM1,5" + tail},
      {"the header again", std::string(kRecordHeader), {}, 0},
      {"a blank line", "\r\n", {}, 0},
      // Line ends within a quoted field are CSV: that row is whole, its CRs kept.
      {"a port that holds line ends",
       time + ",\"COM\r\n1\n\",5" + tail,
       {WithPort("COM\r\n1\n")},
       0},
      {"a port that holds a CR", time + ",\"COM\r1\",5" + tail, {WithPort("COM\r1")}, 0},
      // Even when a line within it begins with a time.
      {"a port that holds a line end and a time",
       CsvLine(WithPort("/dev/x\n" + time)),
       {WithPort("/dev/x\n" + time)},
       0},
  };
  // Rows of address 5 whose operation, result, value, unit and again fields are these: a negative
  // value, one past the double's range, one that is no number, one past 16 bits; a resistance
  // with 3 decimals; a voltage over range or with decimals; an answer without its value; no reply
  // with a value; a started measurement with a value; an operation or a result not known; an
  // again that is neither yes nor empty.
  for (const QString& fields :
       QString::fromUtf8(
           "voltage,answered,-5,V,|voltage,answered,1e309,V,|"
           "resistance,answered,NaN,\xCE\xA9,|voltage,answered,65536,V,|"
           "resistance,answered,3.456,\xCE\xA9,|voltage,answered,OL,V,|"
           "voltage,answered,22.5,V,|voltage,answered,,V,|voltage,no-reply,220,V,|"
           "start-measurement,answered,1,,|frobnicate,answered,220,V,|voltage,fine,220,V,|"
           "voltage,answered,220,V,no")
           .split(u'|')) {
    cases.push_back({fields.toStdString(), time + ",COM1,5," + fields.toStdString() + frames});
  }
  // No-answer and set-aside rows that Karvello never writes: a no-answer alarm with a value or
  // another state; set aside, but neither begun nor ended, with a value, as a late reply, or at
  // address 0; and a limit's alarm without its reading's value.
  for (const QString& fields :
       QString::fromUtf8("7,no-answer,raised,34.5,\xCE\xA9,,,|7,no-answer,stands,,,,,|"
                         "7,set-aside,raised,,,,,|7,set-aside,begun,220,V,,,|"
                         "7,set-aside,begun,,,yes,,|0,set-aside,begun,,,,,|7,alarm,raised,,,,,")
           .split(u'|')) {
    cases.push_back({fields.toStdString(), time + ",COM1," + fields.toStdString() + "\r\n"});
  }
  ASSERT_EQ(cases.size(), 39U);
  for (const auto& c : cases) {
    std::vector<RecordRow> expected = Rows(0, 10);
    expected.insert(expected.end(), c.read.begin(), c.read.end());
    for (RecordRow& row : Rows(10, 60)) expected.push_back(std::move(row));
    const Read read = ReadText(kFileStart + Lines(0, 10) + c.damage + Lines(10, 60));
    EXPECT_EQ(read.rows, expected) << c.what;
    EXPECT_EQ(read.damaged, c.damaged) << c.what;
  }
  // A last line without its line end is a row cut short, or being written: not damaged.
  for (const std::string& last : {cut, time + ",\"COM1,5" + tail.substr(0, tail.size() - 2)}) {
    const Read read = ReadText(kFileStart + Lines(0, 10) + last);
    EXPECT_EQ(read.rows, Rows(0, 10)) << last;
    EXPECT_EQ(read.damaged, 0) << last;
  }
}

// A row dated up to the clock skew ahead of now is read; one a millisecond later is damaged.
TEST(RecordText, ARowDatedPastNowAndTheSkewIsDamaged) {
  const QDateTime now = kWhen.addSecs(-600);  // kWhen is now plus 10 minutes
  for (const auto& [line, rows, damaged] :
       {std::tuple{Lines(0, 1), 1U, 0},
        std::tuple{CsvLine(Row(5, 0)).replace(20, 3, "124"), 0U, 1}}) {
    const Read read = ReadText(line, RecordQuery{.now = now});
    EXPECT_EQ(read.rows.size(), rows) << line;
    EXPECT_EQ(read.damaged, damaged) << line;
  }
  EXPECT_EQ(kLargestClockSkew, std::chrono::minutes(10));
}

// The text of a record of the record reader's fuzz corpus, past its first two bytes (the cut).
std::string FuzzerText(const char* name) {
  std::ifstream file(std::string(KARVELLO_FUZZ_CORPUS "/fuzz_record_text/") + name,
                     std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), {});
  return bytes.size() < 2 ? std::string() : bytes.substr(2);
}

// Read in two parts as a stream, cut at every place in turn, a record reads as it does whole: a row
// across two parts, a quoted field, a CR LF parted, a byte-order mark parted; a damaged line
// holding the start of a row whose quoted port runs on to the next line.
TEST(RecordText, ReadInPartsAsWhole) {
  const std::string at = "2026-12-07T18:04:06.123+08:00";
  const struct {
    std::string text;
    std::size_t rows;
    std::int64_t damaged;
  } cases[] = {
      {kFileStart + Lines(0, 3) + CsvLine(WithPort("a\r\nb,\"c\"")) + at + ",COM1,999,volt\r\n" +
           Lines(3, 5),
       6, 1},
      {at + ",\"C07T18:04:06" + at + ",\"/dev/a\r\n" + at + "\",5,voltage,no-reply,,,,,\r\n" +
           Lines(0, 2),
       2, 2},
      // Found by the fuzzer: a damaged line whose appended row runs past the cut.
      {FuzzerText("appended_row_across_the_cut"), 1, 2},
  };
  for (const auto& c : cases) {
    const Read whole = ReadText(c.text);
    ASSERT_EQ(whole.rows.size(), c.rows);
    ASSERT_EQ(whole.damaged, c.damaged);
    for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
      RecordParser parser({});
      std::vector<RecordRow> rows;
      const auto sink = [&rows](RecordRow&& row) { rows.push_back(std::move(row)); };
      const std::size_t read = parser.Parse(std::string_view(c.text).substr(0, cut), true, sink);
      ASSERT_LE(read, cut);
      parser.Parse(std::string_view(c.text).substr(read), false, sink);
      EXPECT_EQ(rows, whole.rows) << cut;
      EXPECT_EQ(parser.Damaged(), whole.damaged) << cut;
    }
  }
}

// A run longer than any row is given up, up to its line end, without being kept whole.
TEST(RecordText, ALineLongerThanAnyRowIsGivenUp) {
  const std::string longLine(kLongestRow + 1, 'x');
  for (const std::string& damage :
       {longLine + "\r\n", "2026-12-07T18:04:06.123+08:00,\"" + longLine + "\"\r\n",
        std::string(kLongestRow + 1, '\0') + "\n"}) {
    const std::string text = kFileStart + Lines(0, 2) + damage + Lines(2, 4);
    RecordParser parser({});
    std::vector<RecordRow> rows;
    std::size_t at = 0;
    // Fed in parts of 1000 bytes, as a stream, each part after what was left of the last.
    std::string held;
    while (at < text.size()) {
      held += text.substr(at, 1000);
      at += 1000;
      const std::size_t read = parser.Parse(
          held, at < text.size(), [&rows](RecordRow&& row) { rows.push_back(std::move(row)); });
      held.erase(0, read);
      EXPECT_LE(held.size(), kLongestRow + 1000);
    }
    EXPECT_EQ(rows, Rows(0, 4));
    EXPECT_EQ(parser.Damaged(), 1);
  }
}

// The time of a row is read as Qt reads it; its address is a whole number from 0 to 255.
TEST(RecordText, ReadsEachTimeAsQtDoesAndAddressesInTheirRange) {
  const std::string rest = ",voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,";
  // The times in turn, between bars, the last one empty.
  const QStringList times =
      QStringLiteral(
          "2026-12-07T18:04:06.123+08:00|1970-01-01T00:00:00.000+00:00|"
          "2026-12-31T23:59:59.999-05:30|2024-02-29T12:00:00.000+14:00|"
          "1969-12-31T23:59:59.999+00:00|2000-02-29T00:00:00.000-14:00|"
          "2023-02-29T00:00:00.000+08:00|2100-02-29T00:00:00.000+08:00|"
          "2026-13-01T00:00:00.000+08:00|2026-04-31T00:00:00.000+08:00|"
          "2026-12-07T24:00:00.000+08:00|2026-12-07T18:60:06.123+08:00|"
          "2026-12-07T18:04:06.123+08:60|2026-12-07T18:04:06.123+15:00|"
          "0000-01-01T00:00:00.000+00:00|2026-12-07T18:04:06Z|2026-12-07T18:04:06.123|"
          "2026-12-07 18:04:06.123+08:00|2026-12-07T18:04:06.12x+08:00|time|")
          .split(u'|');
  ASSERT_EQ(times.size(), 21);
  for (const QString& text : times) {
    const std::string time = text.toStdString();
    const QDateTime qt = QDateTime::fromString(text, Qt::ISODateWithMs);
    const auto rows = ParseRecord(time + ",COM1,5" + rest + "\r\n", kAnyTime);
    ASSERT_EQ(rows.size(), qt.isValid() ? 1U : 0U) << time;
    if (!rows.empty()) {
      EXPECT_EQ(rows[0].time, qt) << time;
      EXPECT_EQ(rows[0].time.offsetFromUtc(), qt.offsetFromUtc()) << time;
    }
  }
  const struct {
    const char* text;
    std::optional<int> address;
  } addresses[] = {{"5", 5},    {"1", 1},   {"255", 255},      {"007", 7},         {"256", {}},
                   {"999", {}}, {"0", {}},  {"123456789", {}}, {"1234567890", {}}, {"+5", {}},
                   {"-1", {}},  {" 5", {}}, {"", {}},          {"x", {}},          {"5x", {}}};
  for (const auto& c : addresses) {
    const auto rows =
        ParseRecord("2026-12-07T18:04:06.123+08:00,COM1," + std::string(c.text) + rest + "\r\n");
    ASSERT_EQ(rows.size(), c.address ? 1U : 0U) << c.text;
    if (c.address) {
      EXPECT_EQ(rows[0].address, *c.address) << c.text;
    }
  }
}

}  // namespace
}  // namespace karvello
