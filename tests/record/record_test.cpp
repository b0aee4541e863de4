// The record's store: the file's byte-order mark and header, the size limit at its edge, the old
// files kept and kept when they cannot be set aside, a folder that cannot be written, a path that
// is no regular file, a writer beside a reader, and programs appending at once.
#include "record/record.h"
#include "record/csv.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <future>
#include <map>
#include <thread>

#include "record/record_read.h"
#include "record/record_rows.h"
#include "support/child_program.h"
#include "support/failing_record_files.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace karvello {
namespace {

using namespace record_rows;

std::string FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

void WriteFile(const QString& path, const std::string& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())),
            static_cast<qint64>(bytes.size()));
}

class RecordFile : public ::testing::Test {
 protected:
  QString PathOf(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
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
    if (minute % 2 == 1) {
      rows.back().operation = Operation::kQueryResistance;
      rows.back().value = Reading{345, 1};
    }
    ASSERT_TRUE(record.Append(rows.back()));
  }
  EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}), rows);
  // Both ends of the period are in it.
  EXPECT_EQ(Record::Read(record.Path(), kWhen.addSecs(60), kWhen.addSecs(240), {1, 2}),
            (std::vector<RecordRow>{rows[1], rows[3], rows[4]}));
  EXPECT_EQ(Record::Read(record.Path(), kWhen.addSecs(61), {}, {3}),
            (std::vector<RecordRow>{rows[2], rows[5]}));
  const auto kResistance = Operation::kQueryResistance;
  EXPECT_EQ(Record::Read(record.Path(), RecordQuery{.operations = {kResistance}}),
            (std::vector<RecordRow>{rows[1], rows[3], rows[5]}));
  EXPECT_EQ(Record::Read(record.Path(), {kWhen.addSecs(60), {}, {2}, {kResistance}}),
            (std::vector<RecordRow>{rows[1]}));
}

// A crash cut the last row short: the next row still begins on a line of its own.
TEST_F(RecordFile, AnAppendAfterARowCutShortBeginsOnALineOfItsOwn) {
  const QString path = PathOf("record.csv");
  const std::string cut = kFileStart + Lines(0, 1) + "2026-12-07T18:05:06.123+08:00,COM1,5,vol";
  WriteFile(path, cut);
  Record record(path);
  ASSERT_TRUE(record.Append(Row(5, 2)));
  EXPECT_EQ(FileBytes(path), cut + "\r\n" + CsvLine(Row(5, 2)));
  EXPECT_EQ(Record::Read(path, {}, {}, {}), (std::vector<RecordRow>{Row(5, 0), Row(5, 2)}));
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

// Rows nearly in order come out in the order of their times, equal times in the order they came;
// a row earlier than those let go already follows at once. The window is pinned at its edge: a
// late row among kWindow held ones goes first, among one more it goes after the first.
TEST(TimeOrderTest, PutsRowsNearlyInOrderInTheOrderOfTheirTimes) {
  std::vector<int> out;
  const auto run = [&out](const std::vector<int>& minutes) {
    out.clear();
    TimeOrder order([&out](RecordRow&& row) { out.push_back(row.address); });
    for (std::size_t i = 0; i < minutes.size(); ++i) {
      order.Add(Row(static_cast<int>(i + 1), minutes[i]));
    }
    order.Flush();
  };
  run({0, 2, 1, 1, 3, 0});
  EXPECT_EQ(out, (std::vector<int>{1, 6, 3, 4, 2, 5}));
  EXPECT_EQ(TimeOrder::kWindow, 4096U);
  for (const std::size_t held : {TimeOrder::kWindow, TimeOrder::kWindow + 1}) {
    std::vector<int> minutes;
    for (std::size_t i = 0; i < held; ++i) minutes.push_back(static_cast<int>(i) + 1);
    minutes.push_back(0);
    run(minutes);
    ASSERT_EQ(out.size(), held + 1);
    const int late = static_cast<int>(held) + 1;
    EXPECT_EQ(out[held == TimeOrder::kWindow ? 0 : 1], late) << held;
  }
}

TEST(RecordPath, TheEnvironmentChoosesTheFileElseTheDataFolderOfKarvello) {
  qputenv("KARVELLO_RECORD", "/somewhere/record.csv");
  EXPECT_EQ(DefaultRecordPath(), "/somewhere/record.csv");
  qunsetenv("KARVELLO_RECORD");
  // Whatever the program's own name (this one is record_test).
  EXPECT_TRUE(DefaultRecordPath().endsWith("/karvello/record.csv"));
  EXPECT_EQ(QCoreApplication::applicationName(), "record_test");
}

#ifdef __linux__
// Sets or clears a file's immutable flag (chattr +i): no one may rename it, root included. False
// where the system does not let this program (no CAP_LINUX_IMMUTABLE, or the file system).
bool SetImmutable(const QString& path, bool on) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) ::close(fd);
  return done;
}
#endif

// The file cannot be set aside at its limit: ten appends past it keep every row, old and new,
// and say so once; when the renames work again the files are set aside at the next append.
TEST_F(RecordFile, WhenTheFileCannotBeSetAsideItGrowsPastItsLimitAndNoOldRowIsLost) {
  using Kind = Record::Notice::Kind;
  const struct {
    const char* what;
    const char* held = nullptr;       // refused before any rename
    const char* failsFrom = nullptr;  // a rename of it fails
    const char* failsTo = nullptr;    // a rename to it fails
    const char* immutable = nullptr;  // the same for real, where the system lets us
    bool parkedStays = false;         // the oldest is still there after the outage
  } cases[] = {
      {"the newest held open", "record.csv"},
      {"an old one held open", "record.2.csv"},
      {"the oldest cannot be moved", nullptr, "record.3.csv"},
      {"one fails midway, the two moved go back", nullptr, "record.1.csv"},
      {"the newest fails last, the three moved go back", nullptr, "record.csv"},
      {"and moving one back fails too", nullptr, nullptr, "record.1.csv", nullptr, true},
      {"an old one immutable", nullptr, nullptr, nullptr, "record.1.csv"},
  };
  for (const auto& c : cases) {
    const QString folder = PathOf(c.what);
    ASSERT_TRUE(QDir().mkpath(folder));
    const auto in = [&](const char* name) { return QDir(folder).filePath(name); };
    FailingRecordFiles files;
    std::vector<Kind> told;
    Record record(in("record.csv"), 281, files);  // two rows to a file
    record.SetOnNotice([&](const Record::Notice& notice) { told.push_back(notice.kind); });
    for (int minute = 0; minute < 8; ++minute) ASSERT_TRUE(record.Append(Row(5, minute)));
    const std::string old[] = {"", FileBytes(in("record.1.csv")), FileBytes(in("record.2.csv")),
                               FileBytes(in("record.3.csv"))};
    ASSERT_EQ(old[3], kFileStart + Lines(0, 2));

    if (c.held != nullptr) files.held = {in(c.held)};
    files.renameFails = [&](const QString& from, const QString& to) {
      return (c.failsFrom != nullptr && from == in(c.failsFrom)) ||
             (c.failsTo != nullptr && to == in(c.failsTo));
    };
#ifdef __linux__
    // Cleared however the case ends, or the folder could not be removed.
    const struct Mutable {
      QString path;
      ~Mutable() {
        if (!path.isEmpty()) SetImmutable(path, false);
      }
    } undo{c.immutable != nullptr ? in(c.immutable) : QString()};
    if (c.immutable != nullptr && !SetImmutable(undo.path, true)) {
      std::printf("not run here (no chattr +i): %s\n", c.what);
      continue;
    }
#else
    if (c.immutable != nullptr) continue;
#endif
    for (int minute = 8; minute < 18; ++minute) {
      EXPECT_TRUE(record.Append(Row(5, minute))) << c.what;
    }
    EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}), Rows(0, 18)) << c.what;
    for (int n = 1; n <= 3 && !c.parkedStays; ++n) {
      EXPECT_EQ(FileBytes(Record::OldFilePath(record.Path(), n)), old[n]) << c.what << n;
    }
    EXPECT_EQ(told, std::vector<Kind>{Kind::kNotRotated}) << c.what;
    EXPECT_TRUE(record.NotRotated()) << c.what;

    files.held.clear();
    files.renameFails = nullptr;
#ifdef __linux__
    if (c.immutable != nullptr) {
      ASSERT_TRUE(SetImmutable(undo.path, false));
    }
#endif
    ASSERT_TRUE(record.Append(Row(5, 18)));
    EXPECT_EQ(told, (std::vector<Kind>{Kind::kNotRotated, Kind::kRotatedAgain})) << c.what;
    EXPECT_EQ(FileBytes(record.Path()), kFileStart + Lines(18, 19)) << c.what;
    EXPECT_EQ(FileBytes(in("record.1.csv")), kFileStart + Lines(6, 18)) << c.what;
    EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}), Rows(c.parkedStays ? 0 : 2, 19)) << c.what;
    EXPECT_EQ(QFileInfo::exists(in("record.4.csv")), c.parkedStays) << c.what;
  }
}

#ifdef __linux__
// A record in a folder where no file can be made (/proc): the reason names the lock file that
// cannot be opened, not the record as if it were missing; reading it, the text there (no row) is
// one damaged line and no problem.
TEST(RecordReasons, APathWhoseLockCannotBeMadeIsToldByItsLock) {
  Record record(QStringLiteral("/proc/version"));
  std::vector<Record::Notice> told;
  record.SetOnNotice([&](const Record::Notice& notice) { told.push_back(notice); });
  EXPECT_FALSE(record.Append(Row()));
  ASSERT_EQ(told.size(), 1U);
  EXPECT_TRUE(told[0].reason.startsWith("cannot open the lock file /proc/version.lock: "))
      << told[0].reason.toStdString();
  const ReadReport report = ReadRecordRows(QStringLiteral("/proc/version"), {}, [](RecordRow&&) {});
  EXPECT_EQ(report.problem, "");
  EXPECT_EQ(report.damaged, 1);
}
#endif

// Old files with a free place among them, or one parked by a rotation that was cut short: no
// file is deleted while a place is free, and a parked one is read as the oldest until then.
TEST_F(RecordFile, ASettingAsideFillsAFreePlaceBeforeItDeletesTheOldest) {
  const struct {
    std::set<int> there;    // the old files before
    std::vector<int> kept;  // the files whose rows are read after, oldest first (0 the newest)
  } cases[] = {
      {{1, 3}, {3, 1, 0}},
      {{1, 2, 4}, {4, 2, 1, 0}},
      {{1, 2, 3, 4}, {2, 1, 0}},
  };
  for (const auto& c : cases) {
    QTemporaryDir folder;
    const QString path = folder.filePath("record.csv");
    // File n holds the rows of minutes 10 x (4 - n) and one more.
    const auto rowsOf = [](int n) { return Rows(10 * (4 - n), 10 * (4 - n) + 2); };
    std::vector<RecordRow> before;
    for (int n = 4; n >= 0; --n) {
      if (n > 0 && !c.there.contains(n)) continue;
      WriteFile(n == 0 ? path : Record::OldFilePath(path, n),
                kFileStart + Lines(10 * (4 - n), 10 * (4 - n) + 2));
      for (const RecordRow& row : rowsOf(n)) before.push_back(row);
    }
    EXPECT_EQ(Record::Read(path, {}, {}, {}), before);
    Record record(path, 281);
    ASSERT_TRUE(record.Append(Row(5, 50)));
    std::vector<RecordRow> after;
    for (const int n : c.kept) {
      for (const RecordRow& row : rowsOf(n)) after.push_back(row);
    }
    after.push_back(Row(5, 50));
    EXPECT_EQ(Record::Read(path, {}, {}, {}), after) << c.kept.size();
    EXPECT_EQ(FileBytes(Record::OldFilePath(path, 1)), kFileStart + Lines(40, 42));
  }
}

#ifndef _WIN32
// A FIFO named as the record would block the opening that writes it until a reader came, under
// the lock that every other writer waits for; a folder would be set aside as an old file. Both
// are refused at once, by the writer and the reader.
TEST_F(RecordFile, APathThatIsNotARegularFileIsRefusedAtOnce) {
  using namespace std::chrono_literals;
  const QString fifo = PathOf("fifo.csv");
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
  ASSERT_TRUE(QDir().mkpath(PathOf("folder.csv")));
  // The reader names what it is.
  for (const auto& [path, what] : {std::pair{fifo, QStringLiteral("a FIFO")},
                                   std::pair{PathOf("folder.csv"), QStringLiteral("a folder")}}) {
    Record record(path, 1);
    std::vector<Record::Notice> told;
    record.SetOnNotice([&](const Record::Notice& notice) { told.push_back(notice); });
    auto appended = std::async(std::launch::async, [&] { return record.Append(Row()); });
    QString problem;
    auto read = std::async(std::launch::async,
                           [&] { return Record::Read(path, RecordQuery{}, &problem).size(); });
    const bool inTime = appended.wait_for(1s) == std::future_status::ready &&
                        read.wait_for(1s) == std::future_status::ready;
    if (!inTime) {  // opened both ways at once, a FIFO lets a blocked opening go
      const int both = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
      appended.wait();
      read.wait();
      ::close(both);
    }
    ASSERT_TRUE(inTime) << path.toStdString();
    EXPECT_FALSE(appended.get());
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0].kind, Record::Notice::Kind::kNotWritten);
    EXPECT_EQ(told[0].reason, "not a regular file");
    EXPECT_EQ(read.get(), 0U);
    EXPECT_EQ(problem, path + ": " + what + ", not a regular file");
    EXPECT_FALSE(QFileInfo::exists(Record::OldFilePath(path, 1)));
  }
}
#endif

// A reader of a full record (four files of 8 MiB, 300,000 rows) holds the writers' lock only
// while it opens the files: a writer beside it waits milliseconds, not for the whole read. The
// bound is generous, for a busy machine; bench/record_read.cpp measures the wait.
TEST_F(RecordFile, AWriterBesideAReaderOfAFullRecordWaitsForTheOpeningOnly) {
  const QString path = PathOf("record.csv");
  const std::string hundred = Lines(0, 100);
  std::string text = kFileStart;
  while (text.size() + hundred.size() <= Record::kDefaultSizeLimit) text += hundred;
  for (int n = 0; n <= Record::kKeptOldFiles; ++n) {
    WriteFile(n == 0 ? path : Record::OldFilePath(path, n), text);
  }
  const std::size_t full = 4 * 100 * (text.size() / hundred.size());
  std::atomic<bool> done = false;
  std::atomic<int> reads = 0;
  std::atomic<std::size_t> fewest = SIZE_MAX;
  std::thread reader([&] {
    while (!done) {
      const std::size_t rows = Record::Read(path, {}, {}, {}).size();
      if (rows < fewest) fewest = rows;
      ++reads;
    }
  });
  Record writer(path, 2 * Record::kDefaultSizeLimit);  // not set aside: the wait is timed
  qint64 longest = 0;
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    QElapsedTimer waited;
    waited.start();
    EXPECT_TRUE(writer.Append(Row(9, i)));
    longest = std::max(longest, waited.elapsed());
  }
  done = true;
  reader.join();
  EXPECT_LT(longest, 200);
  EXPECT_GE(reads.load(), 1);
  EXPECT_GE(fewest.load(), full);
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
  testing::ChildProgram writers[] = {
      {QStringLiteral(RECORD_WRITER), {path, QString::number(kRows), "A"}},
      {QStringLiteral(RECORD_WRITER), {path, QString::number(kRows), "B"}}};
  for (testing::ChildProgram& writer : writers) {
    EXPECT_EQ(writer.Finish(std::chrono::minutes(2)), 0) << writer.Err().toStdString();
  }
  const std::string bytes = FileBytes(path);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 2 * kRows + 1);
  std::map<std::string, int> next;
  for (const RecordRow& row : Record::Read(path, {}, {}, {})) {
    const int number = next[row.port]++;
    ASSERT_EQ(row.reply, (std::vector<std::uint8_t>{static_cast<std::uint8_t>(number >> 8),
                                                    static_cast<std::uint8_t>(number & 0xFF)}));
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"A", kRows}, {"B", kRows}}));
}

// The record taken a row at a time gives what it gives whole, in the same order and with the same
// damaged lines counted: across old files, across its chunks (a file of over 1 MiB), a row cut
// short by a crash, and rows appended after the stream began.
TEST_F(RecordFile, TakenARowAtATimeItGivesWhatItGivesWhole) {
  const QString path = PathOf("record.csv");
  // Rows a second apart from kWhen: 12,000 of them pass 1 MiB.
  auto seconds = [](int from, int to) {
    std::string lines;
    for (int i = from; i < to; ++i) {
      RecordRow row = Row();
      row.time = kWhen.addSecs(i);
      lines += CsvLine(row);
    }
    return lines;
  };
  const struct {
    std::string oldest;   // record.2.csv
    std::string current;  // record.csv
  } cases[] = {
      {kFileStart + Lines(0, 3), kFileStart + Lines(3, 5)},
      {kFileStart + Lines(0, 2) + "2026-12-07T18:0", kFileStart + "garbage\r\n" + Lines(2, 4)},
      {"", kFileStart + seconds(0, 12000)},
      {kFileStart + seconds(0, 12000), ""},
  };
  for (const auto& c : cases) {
    WriteFile(Record::OldFilePath(path, 2), c.oldest);
    WriteFile(path, c.current);
    std::vector<RecordRow> whole;
    const ReadReport wholeReport =
        ReadRecordRows(path, {}, [&whole](RecordRow&& row) { whole.push_back(std::move(row)); });
    RecordStream stream(path, {});
    std::vector<RecordRow> taken;
    RecordRow row;
    while (stream.Next(row)) {
      taken.push_back(row);
      // A row appended while it reads comes too, at the end.
      if (taken.size() == 1) {
        ASSERT_TRUE(Record(path).Append(Row(5, 600)));
      }
    }
    ASSERT_FALSE(whole.empty());
    whole.push_back(Row(5, 600));
    EXPECT_EQ(taken, whole);
    EXPECT_EQ(stream.Report().damaged, wholeReport.damaged);
    EXPECT_FALSE(stream.Next(row));
  }
}

}  // namespace
}  // namespace karvello
