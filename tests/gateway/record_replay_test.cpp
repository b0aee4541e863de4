// The watch's outbox in the record: the file that keeps how far the broker has acknowledged
// (written whole or not at all, read back or found missing or damaged), and the replay of the
// watch's rows after that place, across the record's files, within its bounds of age and count.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <string>
#include <vector>

#include "../record/record_rows.h"
#include "gateway/published_point.h"
#include "gateway/record_replay.h"
#include "record/record.h"
#include "record/record_format.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;
using record_rows::kFileStart;
using record_rows::kWhen;
using record_rows::Made;

const std::string kPort = "COM1";

// A reading of address 1 on `port` at kWhen plus `ms`.
RecordRow ReadingAt(int ms, const std::string& port = kPort) {
  return RowOf(
      Made(Operation::kQueryVoltage, 1, Result::kAnswered, "01 03 02 00 DC 78 1D", Reading{220}),
      port, kWhen.addMSecs(ms));
}

// An alarm at address 1 raised at kWhen plus `ms`.
RecordRow Alarm(int ms) {
  const Outcome reading =
      Made(Operation::kQueryResistance, 1, Result::kAnswered, "", Reading{345, 1});
  return RowOf(AlarmChange{reading, 1, true, 40, kWhen.addMSecs(ms)}, kPort);
}

class Folder {
 public:
  QString File(const QString& name) const { return dir_.filePath(name); }
  QString Record() const { return File(QStringLiteral("record.csv")); }
  QStringList Names() const { return QDir(dir_.path()).entryList(QDir::Files); }

 private:
  QTemporaryDir dir_;
};

void WriteFile(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

void WriteRecord(const QString& path, const std::vector<RecordRow>& rows) {
  std::string text = kFileStart;
  for (const RecordRow& row : rows) text += CsvLine(row);
  WriteFile(path, text);
}

std::vector<RecordRow> Replayed(RecordReplay& replay) {
  std::vector<RecordRow> rows;
  RecordRow row;
  while (replay.Next(row)) rows.push_back(row);
  return rows;
}

std::vector<QDateTime> Times(const std::vector<RecordRow>& rows) {
  std::vector<QDateTime> times;
  for (const RecordRow& row : rows) times.push_back(row.time);
  return times;
}

// --- The file of the place acknowledged ---

struct PointFileCase {
  const char* name;
  std::string text;  // "" with `missing`
  bool missing;
  PointFile::State state;
};

class PointFiles : public ::testing::TestWithParam<PointFileCase> {};

TEST_P(PointFiles, ReadAsWrittenOrSaidMissingOrDamaged) {
  const PointFileCase& c = GetParam();
  Folder folder;
  const QString path = folder.File("record.csv.published-1");
  if (!c.missing) WriteFile(path, c.text);
  const PointFile read = ReadPointFile(path);
  EXPECT_EQ(read.state, c.state);
  EXPECT_EQ(read.problem.empty(), c.state != PointFile::State::kDamaged) << read.problem;
}

const std::string kDigest(40, 'a');
const std::string kTime = "2026-12-07T18:04:06.123+08:00";

INSTANTIATE_TEST_SUITE_P(
    Texts, PointFiles,
    ::testing::Values(
        PointFileCase{"Missing", "", true, PointFile::State::kMissing},
        PointFileCase{"Start", "karvello-published 1\nstart\n-\n", false, PointFile::State::kRead},
        PointFileCase{"Row", "karvello-published 1\n" + kTime + "\n" + kDigest + "\n", false,
                      PointFile::State::kRead},
        PointFileCase{"Empty", "", false, PointFile::State::kDamaged},
        PointFileCase{"CutShort", "karvello-published 1\n" + kTime + "\n" + kDigest, false,
                      PointFile::State::kDamaged},
        PointFileCase{"OtherVersion", "karvello-published 2\nstart\n-\n", false,
                      PointFile::State::kDamaged},
        PointFileCase{"ShortDigest",
                      "karvello-published 1\n" + kTime + "\n" + kDigest.substr(1) + "\n", false,
                      PointFile::State::kDamaged},
        PointFileCase{"UpperCaseDigest",
                      "karvello-published 1\n" + kTime + "\n" + std::string(40, 'A') + "\n", false,
                      PointFile::State::kDamaged},
        PointFileCase{"TimeWithoutMilliseconds",
                      "karvello-published 1\n2026-12-07T18:04:06+08:00\n" + kDigest + "\n", false,
                      PointFile::State::kDamaged},
        PointFileCase{"LineMore", "karvello-published 1\nstart\n-\n\n", false,
                      PointFile::State::kDamaged}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PointFile, WrittenWholeOverTheLastAndReadBackAlone) {
  Folder folder;
  const QString path = folder.File("record.csv.published-1");
  const RecordPoint first = PointOf(ReadingAt(0));
  const RecordPoint second = PointOf(ReadingAt(1000));
  ASSERT_NE(first, second);
  for (const RecordPoint& point : {RecordPoint{}, first, second}) {
    std::string problem;
    ASSERT_TRUE(WritePointFile(path, PointText(point), point.AtStart(), &problem)) << problem;
    const PointFile read = ReadPointFile(path);
    ASSERT_EQ(read.state, PointFile::State::kRead) << read.problem;
    EXPECT_EQ(read.point, point);
    // Nothing of the writing is left beside it.
    EXPECT_EQ(folder.Names(), QStringList{"record.csv.published-1"});
  }
}

TEST(PointFile, NotWrittenWhereItCannotBeSaysWhy) {
  Folder folder;
  std::string problem;
  EXPECT_FALSE(WritePointFile(folder.File("no-such-folder/published"), PointText(RecordPoint{}),
                              true, &problem));
  EXPECT_FALSE(problem.empty());
}

TEST(PointFile, EachWatchOfASharedRecordHasItsOwn) {
  const QString record = QStringLiteral("/var/lib/karvello/record.csv");
  const QString one = PointPath(record, "/dev/ttyUSB0", "karvello/site1");
  EXPECT_TRUE(one.startsWith(record + ".published-")) << one.toStdString();
  EXPECT_EQ(one, PointPath(record, "/dev/ttyUSB0", "karvello/site1"));
  EXPECT_NE(one, PointPath(record, "/dev/ttyUSB1", "karvello/site1"));
  EXPECT_NE(one, PointPath(record, "/dev/ttyUSB0", "karvello/site2"));
}

// The place the publisher names from a live reading or alarm is the one the record's row read
// back has.
TEST(RecordPointOf, ALiveRowAndItsRowReadBackAreOnePlace) {
  Folder folder;
  Record record(folder.Record());
  const std::vector<RecordRow> rows = {
      ReadingAt(0), Alarm(0),
      RowOf(Made(Operation::kQueryResistance, 2, Result::kAnswered, "", Reading{1234, 2}), kPort,
            kWhen.addMSecs(5)),
      RowOf(Made(Operation::kQueryVoltage, 3, Result::kNoReply), kPort, kWhen.addMSecs(9))};
  for (const RecordRow& row : rows) ASSERT_TRUE(record.Append(row));
  const std::vector<RecordRow> back = Record::Read(folder.Record(), RecordQuery{});
  ASSERT_EQ(back.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(PointOf(back[i]), PointOf(rows[i])) << i;
  EXPECT_NE(PointOf(rows[0]), PointOf(rows[1]));  // one time, two rows
}

// --- The replay ---

struct ReplayCase {
  const char* name;
  std::vector<RecordRow> rows;
  RecordPoint after;
  std::vector<int> expected;  // indexes into rows
};

class Replay : public ::testing::TestWithParam<ReplayCase> {};

TEST_P(Replay, GivesTheWatchsRowsAfterThePlaceInOrder) {
  const ReplayCase& c = GetParam();
  Folder folder;
  WriteRecord(folder.Record(), c.rows);
  RecordReplay replay(folder.Record(), kPort, c.after, kWhen.addSecs(3600));
  std::vector<RecordRow> expected;
  for (int i : c.expected) expected.push_back(c.rows[static_cast<std::size_t>(i)]);
  EXPECT_EQ(replay.Waiting(), expected.size());
  EXPECT_EQ(Replayed(replay), expected);
}

RecordRow Late(int ms) {
  RecordRow row = ReadingAt(ms);
  row.again = true;
  return row;
}

RecordRow AddressQuery(int ms) {
  return RowOf(Made(Operation::kQueryAddress, 0, Result::kAnswered, "", Reading{1}), kPort,
               kWhen.addMSecs(ms));
}

RecordPoint Unknown(int ms) {
  return {kWhen.addMSecs(ms), std::string(40, '0')};
}

INSTANTIATE_TEST_SUITE_P(
    Places, Replay,
    ::testing::Values(
        ReplayCase{"FromTheStart", {ReadingAt(0), Alarm(0), ReadingAt(10)}, {}, {0, 1, 2}},
        ReplayCase{"AfterARow",
                   {ReadingAt(0), ReadingAt(10), ReadingAt(20), ReadingAt(30)},
                   PointOf(ReadingAt(10)),
                   {2, 3}},
        ReplayCase{
            "AfterTheLastNothing", {ReadingAt(0), ReadingAt(10)}, PointOf(ReadingAt(10)), {}},
        // A reading and the alarm it raised share a time: the place tells them apart.
        ReplayCase{"AfterAReadingItsAlarm",
                   {ReadingAt(0), Alarm(0), ReadingAt(10)},
                   PointOf(ReadingAt(0)),
                   {1, 2}},
        ReplayCase{"AfterTheAlarmOfItsTime",
                   {ReadingAt(0), Alarm(0), ReadingAt(10)},
                   PointOf(Alarm(0)),
                   {2}},
        // Gone from the record: every row of its time and after follows.
        ReplayCase{"APlaceNotFound",
                   {ReadingAt(0), ReadingAt(10), Alarm(10), ReadingAt(20)},
                   Unknown(10),
                   {1, 2, 3}},
        ReplayCase{"APlaceNotFoundAtTheEnd", {ReadingAt(0), ReadingAt(10)}, Unknown(10), {1}},
        // Other programs' rows, other ports, late replies and the address's query stay out.
        ReplayCase{"TheWatchsOwnRowsOnly",
                   {ReadingAt(0), ReadingAt(5, "COM2"), Late(6), AddressQuery(7), ReadingAt(10)},
                   {},
                   {0, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplayAcrossFiles, ReadsTheFilesSetAsideOldestFirst) {
  Folder folder;
  WriteRecord(Record::OldFilePath(folder.Record(), 2), {ReadingAt(0), ReadingAt(10)});
  WriteRecord(Record::OldFilePath(folder.Record(), 1), {ReadingAt(20), ReadingAt(30)});
  WriteRecord(folder.Record(), {ReadingAt(40), ReadingAt(50)});
  RecordReplay replay(folder.Record(), kPort, PointOf(ReadingAt(10)), kWhen.addSecs(60));
  EXPECT_EQ(Times(Replayed(replay)),
            Times({ReadingAt(20), ReadingAt(30), ReadingAt(40), ReadingAt(50)}));
}

TEST(ReplayAcrossFiles, GivesRowsAppendedWhileItReads) {
  Folder folder;
  Record record(folder.Record());
  ASSERT_TRUE(record.Append(ReadingAt(0)));
  RecordReplay replay(folder.Record(), kPort, {}, kWhen.addSecs(60));
  ASSERT_TRUE(record.Append(ReadingAt(10)));
  EXPECT_EQ(Times(Replayed(replay)), Times({ReadingAt(0), ReadingAt(10)}));
}

// The age's bound, a week before the replay's start: a row that old is sent, one a millisecond
// older is left out and counted.
TEST(ReplayBoundsTest, AWeekOldIsSentAMillisecondMoreIsNot) {
  Folder folder;
  const QDateTime now = kWhen.addMSecs(1).addDays(7);
  WriteRecord(folder.Record(), {ReadingAt(0), ReadingAt(1), ReadingAt(2)});
  RecordReplay replay(folder.Record(), kPort, {}, now);
  EXPECT_EQ(replay.TooOld(), 1U);
  EXPECT_EQ(replay.Waiting(), 2U);
  EXPECT_EQ(Times(Replayed(replay)), Times({ReadingAt(1), ReadingAt(2)}));
  EXPECT_EQ(kReplayAge, 168h);
}

struct CountCase {
  const char* name;
  std::size_t count;
  std::string kinds;  // "r" a reading, "a" an alarm, in the record's order
  std::string sent;   // which of them are sent, by their index
};

class ReplayCount : public ::testing::TestWithParam<CountCase> {};

// Past the count's bound the oldest readings are left out; alarms only when no reading is left.
TEST_P(ReplayCount, LeavesOutTheOldestReadingsFirst) {
  const CountCase& c = GetParam();
  Folder folder;
  std::vector<RecordRow> rows;
  for (std::size_t i = 0; i < c.kinds.size(); ++i) {
    rows.push_back(c.kinds[i] == 'a' ? Alarm(static_cast<int>(i)) : ReadingAt(static_cast<int>(i)));
  }
  WriteRecord(folder.Record(), rows);
  RecordReplay replay(folder.Record(), kPort, {}, kWhen.addSecs(60), {kReplayAge, c.count});
  std::string sent;
  for (const RecordRow& row : Replayed(replay)) {
    sent += std::to_string(kWhen.msecsTo(row.time));
  }
  EXPECT_EQ(sent, c.sent);
  EXPECT_EQ(replay.OverCount(), c.kinds.size() - c.sent.size());
  EXPECT_EQ(replay.Waiting(), c.sent.size());
}

INSTANTIATE_TEST_SUITE_P(Rows, ReplayCount,
                         ::testing::Values(CountCase{"Within", 5, "rarra", "01234"},
                                           CountCase{"ReadingsGoFirst", 3, "rarra", "134"},
                                           CountCase{"AllReadingsGone", 2, "rarra", "14"},
                                           CountCase{"ThenTheOldestAlarm", 1, "rarra", "4"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The count's bound as the watch has it: 100000 rows are sent, the 100001st is the first reading
// left out.
TEST(ReplayBoundsTest, AHundredThousandRowsAreSentOneMoreIsNot) {
  for (const int rows : {100000, 100001}) {
    Folder folder;
    std::vector<RecordRow> written;
    written.reserve(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i) written.push_back(ReadingAt(i));
    WriteRecord(folder.Record(), written);
    RecordReplay replay(folder.Record(), kPort, {}, kWhen.addSecs(3600));
    EXPECT_EQ(replay.Waiting(), 100000U);
    EXPECT_EQ(replay.OverCount(), static_cast<std::uint64_t>(rows - 100000));
    RecordRow first;
    ASSERT_TRUE(replay.Next(first));
    EXPECT_EQ(first.time, written[static_cast<std::size_t>(rows - 100000)].time);
  }
}

// Each kind, raised and cleared, with and without the other kind standing: the message replayed
// is the one the watch published live.
TEST(ReplayedAlarm, IsTheChangeTheWatchHandedOver) {
  for (const AlarmKind kind : {AlarmKind::kResistanceLimit, AlarmKind::kNoAnswer}) {
    for (const bool raised : {true, false}) {
      for (const bool others : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << AlarmKindName(kind) << " raised " << raised << " others " << others);
        const bool silent = kind == AlarmKind::kNoAnswer;
        const AlarmChange change{
            silent ? Made(Operation::kQueryResistance, 7, Result::kNoReply)
                   : Made(Operation::kQueryResistance, 7, Result::kAnswered, "", Reading{345, 1}),
            7,
            raised,
            silent ? 0.0 : 40.0,
            kWhen,
            kind,
            others};
        EXPECT_EQ(AlarmMessageText(AlarmChangeOf(RowOf(change, kPort), 40, others)),
                  AlarmMessageText(change));
      }
    }
  }
}

// A detector set aside or read again is a row of the record, never a message of the broker.
TEST(ReplayedRows, AreReadingsAndAlarmsOnly) {
  const AlarmChange noAnswer{
      Made(Operation::kQueryVoltage, 7, Result::kNoReply), 7, true, 0, kWhen, AlarmKind::kNoAnswer};
  EXPECT_TRUE(Published(RowOf(noAnswer, kPort), kPort));
  for (const bool aside : {true, false}) {
    EXPECT_FALSE(Published(SetAsideRow(7, aside, kPort, kWhen), kPort));
  }
}

}  // namespace
}  // namespace karvello::gateway
