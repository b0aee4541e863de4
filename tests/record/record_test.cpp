// The record: each outcome's row byte for byte, the file's byte-order mark and header, reading
// it back, the size limit at its edge, the old files kept, a folder that cannot be written, and
// programs appending at once.
#include "record/record.h"
#include "record/csv.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <map>
#include <thread>

#include "support/hex_bytes.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace karvello {
namespace {

using testing::Hex;

const QDateTime kWhen(QDate(2026, 12, 7), QTime(18, 4, 6, 123), Qt::OffsetFromUTC, 8 * 3600);
constexpr char kAt[] = "2026-12-07T18:04:06.123+08:00,COM1,";  // the time and port of most rows

// The outcome of `operation` at `address`, all its requests sent unless it was not sent.
Outcome Made(Operation operation, std::uint8_t address, Result result, const char* reply = "",
             std::optional<Reading> value = std::nullopt) {
  Outcome outcome{.operation = operation,
                  .address = address,
                  .sent = {},
                  .reply = Hex(reply),
                  .result = result,
                  .value = value};
  for (std::size_t i = 0; result != Result::kNotSent && i < Describe(operation).count; ++i) {
    outcome.sent.push_back(FrameOf(operation, i, address));
  }
  return outcome;
}

std::string FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

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

class RecordFile : public ::testing::Test {
 protected:
  QString PathOf(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
  // The voltage row of detector `address` at kWhen plus `minutes`: 107 bytes for address 5.
  static RecordRow Row(int address = 5, int minutes = 0) {
    RecordRow row = RowOf(
        Made(Operation::kQueryVoltage, 5, Result::kAnswered, "05 03 02 00 DC 48 1D", Reading{220}),
        "COM1", kWhen.addSecs(60 * minutes));
    row.address = address;
    return row;
  }
  QTemporaryDir dir_;
};

TEST_F(RecordFile, BeginsWithTheByteOrderMarkAndTheHeaderOnceAndReadsBack) {
  for (const bool there : {false, true}) {  // a file there but empty is begun as a new one
    const QString path = PathOf(there ? "empty.csv" : "new.csv");
    if (there) QFile(path).open(QIODevice::WriteOnly);
    Record record(path);
    ASSERT_TRUE(record.Append(Row()) && record.Append(Row()));
    EXPECT_EQ(FileBytes(path),
              "\xEF\xBB\xBFtime,port,address,operation,result,value,unit,again,sent,reply\r\n" +
                  CsvLine(Row()) + CsvLine(Row()));
  }
  Record record(PathOf("record.csv"));
  std::vector<RecordRow> rows;
  for (int minute = 0; minute < 6; ++minute) {
    rows.push_back(Row(minute % 3 + 1, minute));
    ASSERT_TRUE(record.Append(rows.back()));
  }
  EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}), rows);
  // Both ends of the period are in it.
  EXPECT_EQ(Record::Read(record.Path(), kWhen.addSecs(60), kWhen.addSecs(240), {1, 2}),
            (std::vector<RecordRow>{rows[1], rows[3], rows[4]}));
  EXPECT_EQ(Record::Read(record.Path(), kWhen.addSecs(61), {}, {3}),
            (std::vector<RecordRow>{rows[2], rows[5]}));
}

TEST_F(RecordFile, AFileUpToItsLimitIsKeptOneByteMoreBeginsANewOneAndThreeOldOnesAreKept) {
  // The byte-order mark (3), the header (64) and two rows of 107 bytes: 281 bytes.
  for (const std::int64_t limit : {281, 280}) {
    const QString path = PathOf(limit == 281 ? "kept.csv" : "rotated.csv");
    Record record(path, limit);
    ASSERT_TRUE(record.Append(Row()) && record.Append(Row()));
    EXPECT_EQ(QFileInfo(path).size(), limit == 281 ? 281 : 174);
    EXPECT_EQ(QFileInfo(Record::OldFilePath(path, 1)).size(), limit == 281 ? 0 : 174);
  }
  const QString path = PathOf("record.csv");
  EXPECT_EQ(Record::OldFilePath(path, 3), PathOf("record.3.csv"));
  Record record(path, 1);  // every row in a file of its own
  for (int address = 1; address <= 5; ++address) ASSERT_TRUE(record.Append(Row(address)));
  EXPECT_FALSE(QFileInfo::exists(PathOf("record.4.csv")));
  std::vector<int> kept;
  for (const RecordRow& row : Record::Read(path, {}, {}, {})) kept.push_back(row.address);
  EXPECT_EQ(kept, (std::vector<int>{2, 3, 4, 5}));
}

// Root writes into read-only folders, so the folder here is a regular file: no one can make a
// file under it.
TEST_F(RecordFile, AFolderThatCannotBeWrittenWarnsOnceAndAppendsFailQuietly) {
  QFile(PathOf("file.txt")).open(QIODevice::WriteOnly);
  Record record(PathOf("file.txt/record.csv"));
  std::vector<QString> warnings;
  record.SetOnNotice([&](const Record::Notice& notice) {
    if (notice.kind == Record::Notice::Kind::kNotWritten) {
      warnings.push_back(notice.path + " " + notice.reason);
    }
  });
  EXPECT_FALSE(record.Append(Row()) || record.Append(Row()));
  ASSERT_EQ(warnings.size(), 1U);  // and the reason after the path
  EXPECT_TRUE(warnings[0].startsWith(PathOf("file.txt/record.csv") + " ") &&
              warnings[0].size() > PathOf("file.txt/record.csv").size() + 1);
}

TEST(RecordPath, TheEnvironmentChoosesTheFileElseTheDataFolderOfKarvello) {
  qputenv("KARVELLO_RECORD", "/somewhere/record.csv");
  EXPECT_EQ(DefaultRecordPath(), "/somewhere/record.csv");
  qunsetenv("KARVELLO_RECORD");
  // Whatever the program's own name (this one is record_test).
  EXPECT_TRUE(DefaultRecordPath().endsWith("/karvello/record.csv"));
  EXPECT_EQ(QCoreApplication::applicationName(), "record_test");
}

#ifndef _WIN32  // the lock taken the way another program takes it on Linux
// Another program holds the lock beside the record: an append waits for it, and gives the row up
// when it is held for longer than a row takes.
TEST_F(RecordFile, AnAppendWaitsForTheProgramThatHoldsTheLock) {
  Record record(PathOf("record.csv"));
  const int lock = ::open(QFile::encodeName(PathOf("record.csv.lock")).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  // Started before the holder, so that its 300 ms all fall within what the clock sees.
  QElapsedTimer waited;
  waited.start();
  std::thread holder([lock] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::flock(lock, LOCK_UN);
  });
  EXPECT_TRUE(record.Append(Row()));
  EXPECT_GE(waited.elapsed(), 300);
  holder.join();
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  EXPECT_FALSE(record.Append(Row()));
  ::close(lock);
  EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}).size(), 1U);
}
#endif

// Two programs append 2000 rows each at once: every row is there, whole and in its writer's
// order, under one header.
TEST_F(RecordFile, TwoProgramsAppendingAtOnceLoseNoRow) {
  constexpr int kRows = 2000;
  const QString path = PathOf("shared.csv");
  QProcess writers[2];
  for (const char* tag : {"A", "B"}) {
    writers[*tag - 'A'].start(QStringLiteral(RECORD_WRITER), {path, QString::number(kRows), tag});
  }
  for (QProcess& writer : writers) {
    ASSERT_TRUE(writer.waitForFinished(120'000));
    EXPECT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
  }
  const std::string bytes = FileBytes(path);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 2 * kRows + 1);
  std::map<std::string, int> next;
  for (const RecordRow& row : Record::Read(path, {}, {}, {})) {
    ASSERT_EQ(row.reply, row.port + " " + std::to_string(next[row.port]++));
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"A", kRows}, {"B", kRows}}));
}

}  // namespace
}  // namespace karvello
