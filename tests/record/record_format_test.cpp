// The record's format: each outcome's row byte for byte and back, CSV quoting, and reading a
// record's text around damaged lines, its times and addresses as Qt reads them.
#include "record/record_format.h"

#include <gtest/gtest.h>

#include <QString>

#include "record/csv.h"
#include "record/record_rows.h"

namespace karvello {
namespace {

using namespace record_rows;

constexpr char kAt[] = "2026-12-07T18:04:06.123+08:00,COM1,";  // the time and port of most rows

TEST(RecordRow, EachOutcomeGivesItsLine) {
  const auto kVoltage = Operation::kQueryVoltage;
  const auto kResistance = Operation::kQueryResistance;
  const std::string measured = "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,";
  Outcome late = Made(kVoltage, 5, Result::kAnswered, "05 03 02 00 DC 48 1D", Reading{220});
  late.again = true;
  const struct {
    Outcome outcome;
    std::string line;
    std::string port = "COM1";
    QDateTime when = kWhen;
  } cases[] = {
      {Made(kVoltage, 5, Result::kAnswered, "05 03 02 00 DC 48 1D", Reading{220}),
       kAt + std::string("5,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D")},
      {Made(kResistance, 5, Result::kAnswered, "05 03 04 01 59 00 01 AF DC", Reading{345, 1}),
       kAt + ("5,resistance,answered,34.5,\xCE\xA9,," + measured) + "05 03 04 01 59 00 01 AF DC"},
      {Made(kResistance, 5, Result::kAnswered, "05 03 04 00 05 00 02 2E 33", Reading{5, 2}),
       kAt + ("5,resistance,answered,0.05,\xCE\xA9,," + measured) + "05 03 04 00 05 00 02 2E 33"},
      {Made(kResistance, 5, Result::kAnswered, "05 03 04 00 00 00 03 FF F2", Reading{0, 3, true}),
       kAt + ("5,resistance,answered,OL,\xCE\xA9,," + measured) + "05 03 04 00 00 00 03 FF F2"},
      {Made(Operation::kQueryAddress, 0, Result::kAnswered, "07 03 02 00 07 71 86", Reading{7}),
       kAt + std::string("0,query-address,answered,7,,,00 03 00 12 00 01 25 DE,"
                         "07 03 02 00 07 71 86")},
      {Made(Operation::kSetAddress, 9, Result::kAnswered, "09 06 00 12 00 09 E8 81", Reading{9}),
       kAt + std::string("9,set-address,answered,9,,,00 06 00 12 00 09 E8 18 | "
                         "09 06 00 12 00 09 E8 81,09 06 00 12 00 09 E8 81")},
      {Made(kVoltage, 5, Result::kNoReply),
       kAt + std::string("5,voltage,no-reply,,,,05 03 00 0F 00 01 B5 8D,")},
      {Made(kVoltage, 5, Result::kRefused, "05 83 02 81 30"),
       kAt + std::string("5,voltage,refused,,,,05 03 00 0F 00 01 B5 8D,05 83 02 81 30")},
      {Made(kVoltage, 5, Result::kWrongReply, "05 03 02 00 F1 88"),
       kAt + std::string("5,voltage,wrong-reply,,,,05 03 00 0F 00 01 B5 8D,05 03 02 00 F1 88")},
      {Made(kVoltage, 5, Result::kCorrupt, "05 03 02"),
       kAt + std::string("5,voltage,corrupt,,,,05 03 00 0F 00 01 B5 8D,05 03 02")},
      {Made(kResistance, 5, Result::kLineLost), kAt + ("5,resistance,line-lost,,,," + measured)},
      {Made(kVoltage, 0, Result::kNotSent), kAt + std::string("0,voltage,not-sent,,,,,")},
      // A late reply, west of UTC, on a device whose name needs quoting.
      {late,
       "2027-01-02T03:04:05.006-05:30,\"/dev/odd,\"\"port\"\"\",5,voltage,answered,220,V,yes,"
       "05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D",
       "/dev/odd,\"port\"",
       QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, -(5 * 3600 + 1800))},
  };
  for (const auto& c : cases) {
    const RecordRow row = RowOf(c.outcome, c.port, c.when);
    EXPECT_EQ(CsvLine(row), c.line + "\r\n");
    const auto parsed = ParseRecord(c.line + "\r\n");  // and back, every field as it was
    ASSERT_EQ(parsed.size(), 1U) << c.line;
    EXPECT_EQ(parsed[0], row) << c.line;
    EXPECT_EQ(parsed[0].time.offsetFromUtc(), c.when.offsetFromUtc()) << c.line;
  }
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

// Each damage lies between 10 whole rows and 50 more: it costs its own line only.
TEST(RecordText, ADamagedLineCostsItselfOnlyAndEveryWholeRowAroundItIsRead) {
  const std::string time = "2026-12-07T18:04:06.123+08:00";
  const std::string cut = time + ",COM1,5,volt";  // a row cut short by a crash
  const std::string tail = ",voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D";
  const struct {
    const char* what;
    std::string damage;
    std::vector<RecordRow> read = {};
  } cases[] = {
      {"a row cut short, the next on a line of its own", cut + "\r\n"},
      {"a row cut short, the next appended onto it", cut + CsvLine(Row(7, 99)), {Row(7, 99)}},
      {"a quote not closed in its line", time + ",\"COM1,5" + tail + "\r\n"},
      {"a quote not closed at the line end", time + ",COM1,5" + tail + ",\"05 03\r\n"},
      // Else the quote would run on to the next line's, and those two make a row of 10 fields.
      {"a quoted line end before a line with a time",
       time + ",\"COM1\r\n" + time + "\",5" + tail + "\r\n"},
      {"a field too many", time + ",COM1,5" + tail + ",more\r\n"},
      {"a time that is no time", "2026-02-30T18:04:06.123+08:00,COM1,5" + tail + "\r\n"},
      {"an address that is no number", time + ",COM1,five" + tail + "\r\n"},
      {"the header again", std::string(kRecordHeader)},
      {"a blank line", "\r\n"},
      // Line ends within a quoted field are CSV: that row is whole.
      {"a port that holds line ends", time + ",\"COM\r\n1\n\",5" + tail + "\r\n", {[] {
         RecordRow row = Row();
         row.port = "COM\r\n1\n";
         return row;
       }()}},
  };
  for (const auto& c : cases) {
    std::vector<RecordRow> expected = Rows(0, 10);
    expected.insert(expected.end(), c.read.begin(), c.read.end());
    for (RecordRow& row : Rows(10, 60)) expected.push_back(std::move(row));
    EXPECT_EQ(ParseRecord(kFileStart + Lines(0, 10) + c.damage + Lines(10, 60)), expected)
        << c.what;
  }
  // A last line without its line end is a row cut short, or being written.
  EXPECT_EQ(ParseRecord(kFileStart + Lines(0, 10) + cut), Rows(0, 10));
  EXPECT_EQ(ParseRecord(kFileStart + Lines(0, 10) + time + ",\"COM1,5" + tail), Rows(0, 10));
}

// The time and the address of a row are read as Qt reads them.
TEST(RecordText, ReadsEachTimeAndAddressAsQtDoes) {
  const std::string rest = ",voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,";
  for (const char* time : {"2026-12-07T18:04:06.123+08:00",
                           "1970-01-01T00:00:00.000+00:00",
                           "2026-12-31T23:59:59.999-05:30",
                           "2024-02-29T12:00:00.000+14:00",
                           "1969-12-31T23:59:59.999+00:00",
                           "2000-02-29T00:00:00.000-14:00",
                           "2023-02-29T00:00:00.000+08:00",
                           "2100-02-29T00:00:00.000+08:00",
                           "2026-13-01T00:00:00.000+08:00",
                           "2026-04-31T00:00:00.000+08:00",
                           "2026-12-07T24:00:00.000+08:00",
                           "2026-12-07T18:60:06.123+08:00",
                           "2026-12-07T18:04:06.123+08:60",
                           "2026-12-07T18:04:06.123+15:00",
                           "0000-01-01T00:00:00.000+00:00",
                           "2026-12-07T18:04:06Z",
                           "2026-12-07T18:04:06.123",
                           "2026-12-07 18:04:06.123+08:00",
                           "2026-12-07T18:04:06.12x+08:00",
                           "time",
                           ""}) {
    const QDateTime qt = QDateTime::fromString(QString::fromLatin1(time), Qt::ISODateWithMs);
    const auto rows = ParseRecord(std::string(time) + ",COM1,5" + rest + "\r\n");
    ASSERT_EQ(rows.size(), qt.isValid() ? 1U : 0U) << time;
    if (!rows.empty()) {
      EXPECT_EQ(rows[0].time, qt) << time;
      EXPECT_EQ(rows[0].time.offsetFromUtc(), qt.offsetFromUtc()) << time;
    }
  }
  for (const char* address :
       {"5", "0", "255", "007", "123456789", "1234567890", "+5", "-1", " 5", "", "x", "5x"}) {
    bool number = false;
    const int qt = QString::fromLatin1(address).toInt(&number);
    const auto rows =
        ParseRecord("2026-12-07T18:04:06.123+08:00,COM1," + std::string(address) + rest + "\r\n");
    ASSERT_EQ(rows.size(), number ? 1U : 0U) << address;
    if (number) {
      EXPECT_EQ(rows[0].address, qt) << address;
    }
  }
}

}  // namespace
}  // namespace karvello
