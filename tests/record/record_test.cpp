// The record: each outcome's row byte for byte, the file's byte-order mark and header, reading
// it back, two programs appending at once, the size limit at its edge, and a folder that cannot
// be written.
#include "record/record.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace karvello {
namespace {

using Bytes = std::vector<std::uint8_t>;

const QDateTime kWhen(QDate(2026, 12, 7), QTime(18, 4, 6, 123), Qt::OffsetFromUTC, 8 * 3600);

// The outcome of `operation` with all its requests sent to `address`, or none when not sent.
Outcome Made(Operation operation, std::uint8_t address, Result result, Bytes reply = {},
             std::optional<Reading> value = std::nullopt, bool again = false) {
  Outcome outcome;
  outcome.operation = operation;
  outcome.address = address;
  if (result != Result::kNotSent) {
    for (std::size_t i = 0; i < Describe(operation).count; ++i) {
      outcome.sent.push_back(FrameOf(operation, i, address));
    }
  }
  outcome.reply = std::move(reply);
  outcome.result = result;
  outcome.value = value;
  outcome.again = again;
  return outcome;
}

std::string FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

struct RowCase {
  const char* what;
  Outcome outcome;
  std::string port;
  QDateTime when;
  std::string line;
};

TEST(RecordRow, EachOutcomeGivesItsLine) {
  const RowCase cases[] = {
      {"a voltage",
       Made(Operation::kQueryVoltage, 5, Result::kAnswered,
            {0x05, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D}, Reading{.number = 220}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,"
       "05 03 02 00 DC 48 1D\r\n"},
      {"a resistance, both requests",
       Made(Operation::kQueryResistance, 5, Result::kAnswered,
            {0x05, 0x03, 0x04, 0x01, 0x59, 0x00, 0x01, 0xAF, 0xDC},
            Reading{.number = 345, .decimals = 1}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,resistance,answered,34.5,\xCE\xA9,,"
       "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,05 03 04 01 59 00 01 AF DC\r\n"},
      {"a resistance below one",
       Made(Operation::kQueryResistance, 5, Result::kAnswered,
            {0x05, 0x03, 0x04, 0x00, 0x05, 0x00, 0x02, 0x2E, 0x33},
            Reading{.number = 5, .decimals = 2}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,resistance,answered,0.05,\xCE\xA9,,"
       "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,05 03 04 00 05 00 02 2E 33\r\n"},
      {"over range",
       Made(Operation::kQueryResistance, 5, Result::kAnswered,
            {0x05, 0x03, 0x04, 0x00, 0x00, 0x00, 0x03, 0xFF, 0xF2},
            Reading{.decimals = 3, .overRange = true}),
       "COM2", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM2,5,resistance,answered,OL,\xCE\xA9,,"
       "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,05 03 04 00 00 00 03 FF F2\r\n"},
      {"the address found",
       Made(Operation::kQueryAddress, 0, Result::kAnswered,
            {0x07, 0x03, 0x02, 0x00, 0x07, 0x71, 0x86}, Reading{.number = 7}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,0,query-address,answered,7,,,"
       "00 03 00 12 00 01 25 DE,07 03 02 00 07 71 86\r\n"},
      {"an address set",
       Made(Operation::kSetAddress, 9, Result::kAnswered,
            {0x09, 0x06, 0x00, 0x12, 0x00, 0x09, 0xE8, 0x81}, Reading{.number = 9}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,9,set-address,answered,9,,,"
       "00 06 00 12 00 09 E8 18 | 09 06 00 12 00 09 E8 81,09 06 00 12 00 09 E8 81\r\n"},
      {"no reply", Made(Operation::kQueryVoltage, 5, Result::kNoReply), "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,voltage,no-reply,,,,05 03 00 0F 00 01 B5 8D,\r\n"},
      {"a refusal",
       Made(Operation::kQueryVoltage, 5, Result::kRefused, {0x05, 0x83, 0x02, 0x81, 0x30}), "COM1",
       kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,voltage,refused,,,,05 03 00 0F 00 01 B5 8D,"
       "05 83 02 81 30\r\n"},
      {"a wrong reply",
       Made(Operation::kQueryVoltage, 5, Result::kWrongReply, {0x05, 0x03, 0x02, 0x00, 0xF1, 0x88}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,voltage,wrong-reply,,,,05 03 00 0F 00 01 B5 8D,"
       "05 03 02 00 F1 88\r\n"},
      {"a corrupt reply", Made(Operation::kQueryVoltage, 5, Result::kCorrupt, {0x05, 0x03, 0x02}),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,voltage,corrupt,,,,05 03 00 0F 00 01 B5 8D,"
       "05 03 02\r\n"},
      {"the line lost mid-measurement", Made(Operation::kQueryResistance, 5, Result::kLineLost),
       "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,5,resistance,line-lost,,,,"
       "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,\r\n"},
      {"nothing sent", Made(Operation::kQueryVoltage, 0, Result::kNotSent), "COM1", kWhen,
       "2026-12-07T18:04:06.123+08:00,COM1,0,voltage,not-sent,,,,,\r\n"},
      {"a late reply, west of UTC, on a device with a comma and a quote",
       Made(Operation::kQueryVoltage, 5, Result::kAnswered,
            {0x05, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D}, Reading{.number = 220}, true),
       "/dev/odd,\"port\"",
       QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, -(5 * 3600 + 30 * 60)),
       "2027-01-02T03:04:05.006-05:30,\"/dev/odd,\"\"port\"\"\",5,voltage,answered,220,V,yes,"
       "05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n"},
  };
  for (const RowCase& c : cases) {
    const RecordRow row = RowOf(c.outcome, c.port, c.when);
    EXPECT_EQ(CsvLine(row), c.line) << c.what;
    // And back: every field as it was.
    const auto parsed = ParseRecord(c.line);
    ASSERT_EQ(parsed.size(), 1U) << c.what;
    EXPECT_EQ(parsed[0], row) << c.what;
    EXPECT_EQ(parsed[0].time.offsetFromUtc(), c.when.offsetFromUtc()) << c.what;
  }
}

class RecordFile : public ::testing::Test {
 protected:
  QString PathOf(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
  QTemporaryDir dir_;
  const Outcome voltage_ = Made(Operation::kQueryVoltage, 5, Result::kAnswered,
                                {0x05, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D}, Reading{.number = 220});
  const std::string voltageLine_ = CsvLine(RowOf(voltage_, "COM1", kWhen));  // 107 bytes
};

TEST_F(RecordFile, BeginsWithTheByteOrderMarkAndTheHeaderOnce) {
  // A file that is there but empty is begun as a new one.
  for (const bool empty : {false, true}) {
    const QString path = PathOf(empty ? "empty.csv" : "new.csv");
    if (empty) {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    Record record(path);
    ASSERT_TRUE(record.Append(voltage_, "COM1", kWhen));
    ASSERT_TRUE(record.Append(voltage_, "COM1", kWhen));
    EXPECT_EQ(FileBytes(path),
              "\xEF\xBB\xBFtime,port,address,operation,result,value,unit,again,sent,reply\r\n" +
                  voltageLine_ + voltageLine_);
    EXPECT_FALSE(record.Failed());
  }
}

TEST_F(RecordFile, ReadsBackARangeOfTimesForSomeAddresses) {
  Record record(PathOf("record.csv"));
  std::vector<RecordRow> written;
  for (int minute = 0; minute < 6; ++minute) {
    RecordRow row = RowOf(voltage_, "COM1", kWhen.addSecs(60 * minute));
    row.address = minute % 3 + 1;
    ASSERT_TRUE(record.Append(row));
    written.push_back(row);
  }
  EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}), written);
  // Both ends of the period are in it.
  EXPECT_EQ(Record::Read(record.Path(), kWhen.addSecs(60), kWhen.addSecs(240), {1, 2}),
            (std::vector<RecordRow>{written[1], written[3], written[4]}));
  EXPECT_EQ(Record::Read(record.Path(), kWhen.addSecs(61), {}, {3}),
            (std::vector<RecordRow>{written[2], written[5]}));
  EXPECT_TRUE(Record::Read(PathOf("none.csv"), {}, {}, {}).empty());
}

TEST_F(RecordFile, AFileUpToItsLimitIsKeptAndOneByteMoreBeginsANewFile) {
  // The byte-order mark (3), the header (64) and two rows of 107 bytes: 281 bytes.
  for (const std::int64_t limit : {281, 280}) {
    const QString path = PathOf(limit == 281 ? "kept.csv" : "rotated.csv");
    Record record(path, limit);
    ASSERT_TRUE(record.Append(voltage_, "COM1", kWhen));
    ASSERT_TRUE(record.Append(voltage_, "COM1", kWhen));
    const QString old = Record::OldFilePath(path, 1);
    if (limit == 281) {
      EXPECT_EQ(QFileInfo(path).size(), 281);
      EXPECT_FALSE(QFileInfo::exists(old));
    } else {
      EXPECT_EQ(QFileInfo(path).size(), 174);
      EXPECT_EQ(QFileInfo(old).size(), 174);
    }
    EXPECT_EQ(Record::Read(path, {}, {}, {}).size(), 2U) << limit;
  }
}

TEST_F(RecordFile, KeepsThreeOldFilesAndDropsTheOldest) {
  const QString path = PathOf("record.csv");
  EXPECT_EQ(Record::OldFilePath(path, 2), PathOf("record.2.csv"));
  Record record(path, 1);  // every row in a file of its own
  for (int address = 1; address <= 5; ++address) {
    RecordRow row = RowOf(voltage_, "COM1", kWhen);
    row.address = address;
    ASSERT_TRUE(record.Append(row));
  }
  EXPECT_TRUE(QFileInfo::exists(PathOf("record.3.csv")));
  EXPECT_FALSE(QFileInfo::exists(PathOf("record.4.csv")));
  std::vector<int> kept;
  for (const RecordRow& row : Record::Read(path, {}, {}, {})) kept.push_back(row.address);
  EXPECT_EQ(kept, (std::vector<int>{2, 3, 4, 5}));
}

// Root writes into read-only folders, so the folder here is a regular file: no one can make a
// file under it.
TEST_F(RecordFile, AFolderThatCannotBeWrittenWarnsOnceAndAppendsFailQuietly) {
  {
    QFile file(PathOf("file.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  Record record(PathOf("file.txt/record.csv"));
  std::vector<std::pair<QString, QString>> warnings;
  record.SetOnFailure(
      [&](const QString& path, const QString& reason) { warnings.emplace_back(path, reason); });
  EXPECT_FALSE(record.Append(voltage_, "COM1", kWhen));
  EXPECT_FALSE(record.Append(voltage_, "COM1", kWhen));
  EXPECT_TRUE(record.Failed());
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_EQ(warnings[0].first, PathOf("file.txt/record.csv"));
  EXPECT_FALSE(warnings[0].second.isEmpty());
  EXPECT_EQ(FileBytes(PathOf("file.txt")), "");
}

TEST(RecordPath, TheEnvironmentChoosesTheFileElseTheDataFolderOfKarvello) {
  qputenv("KARVELLO_RECORD", "/somewhere/record.csv");
  EXPECT_EQ(DefaultRecordPath(), "/somewhere/record.csv");
  qunsetenv("KARVELLO_RECORD");
  // Any program (this one is record_test) shares the folder of "karvello".
  const QString path = DefaultRecordPath();
  EXPECT_TRUE(path.endsWith("/karvello/record.csv")) << path.toStdString();
  EXPECT_EQ(QCoreApplication::applicationName(), "record_test");
}

// Two programs append 2000 rows each at once; every row is there, whole and in its writer's
// order.
TEST_F(RecordFile, TwoProgramsAppendingAtOnceLoseNoRow) {
  constexpr int kRows = 2000;
  const QString path = PathOf("shared.csv");
  QProcess first;
  QProcess second;
  first.start(QStringLiteral(RECORD_WRITER), {path, QString::number(kRows), "A"});
  second.start(QStringLiteral(RECORD_WRITER), {path, QString::number(kRows), "B"});
  for (QProcess* writer : {&first, &second}) {
    ASSERT_TRUE(writer->waitForFinished(120'000));
    EXPECT_EQ(writer->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(writer->exitCode(), 0) << writer->readAllStandardError().toStdString();
  }
  const std::string bytes = FileBytes(path);
  EXPECT_EQ(bytes.find("\xEF\xBB\xBF", 1), std::string::npos);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 2 * kRows + 1);
  std::map<std::string, int> next;
  for (const RecordRow& row : Record::Read(path, {}, {}, {})) {
    const std::string tag = row.port;
    ASSERT_EQ(row.reply, tag + " " + std::to_string(next[tag])) << "a row out of place";
    ++next[tag];
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"A", kRows}, {"B", kRows}}));
}

#ifndef Q_OS_WIN
// Another program holds the lock beside the record: an append waits for it, and gives the row up
// when it is held for longer than a row takes.
TEST_F(RecordFile, AnAppendWaitsForTheProgramThatHoldsTheLock) {
  Record record(PathOf("record.csv"));
  const int lock = ::open(QFile::encodeName(PathOf("record.csv.lock")).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  std::thread holder([lock] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::flock(lock, LOCK_UN);
  });
  QElapsedTimer waited;
  waited.start();
  EXPECT_TRUE(record.Append(voltage_, "COM1", kWhen));
  EXPECT_GE(waited.elapsed(), 300);
  holder.join();

  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  QString reason;
  record.SetOnFailure([&](const QString&, const QString& why) { reason = why; });
  EXPECT_FALSE(record.Append(voltage_, "COM1", kWhen));
  EXPECT_TRUE(reason.contains("record.csv.lock")) << reason.toStdString();
  ::close(lock);
  EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}).size(), 1U);
}
#endif

}  // namespace
}  // namespace karvello
