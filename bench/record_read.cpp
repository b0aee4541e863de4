// karvello-bench-record: how long reading a full record takes, and how long a writer waits for
// its row while a reader reads.
//
//   karvello-bench-record [--reps N] [--writes M] [--dir FOLDER] [--help]
//
// The record is made full in a temporary folder (or FOLDER): record.3.csv .. record.1.csv and
// record.csv, each filled to the size limit (8 MiB) with the rows a bus of 16 detectors gives,
// one every 10 s (voltages, resistances, now and then a failure): about 270,000 rows, 32 MiB.
// - read: Record::Read of the whole record N times (default 7), every row; then the rows of one
//   detector, and the rows of the last day;
// - writer beside a reader: a reader reads the whole record while a writer appends one row, M
//   times (default 10); the time of each append, beside the same append with no reader.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/full_record.h"
#include "bench/stats.h"
#include "engine/operations.h"
#include "record/csv.h"
#include "record/record.h"

namespace karvello::bench {
namespace {

using Clock = std::chrono::steady_clock;

double TimedRead(const QString& path, const QDateTime& from, const std::set<int>& addresses,
                 std::size_t& rows) {
  const auto start = Clock::now();
  rows = Record::Read(path, from, {}, addresses).size();
  return Ms(Clock::now() - start);
}

int Main(int argc, char** argv) {
  int reps = 7;
  int writes = 10;
  QString folder;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--writes") == 0 && i + 1 < argc) {
      writes = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      folder = QString::fromLocal8Bit(argv[++i]);
    } else {
      std::puts(
          "karvello-bench-record [--reps N] [--writes M] [--dir FOLDER]\n"
          "Makes a full record (four files of 8 MiB, about 270,000 rows of a bus of 16 detectors) "
          "in a temporary folder or FOLDER, times Record::Read of it N times (default 7): every "
          "row, one detector's, the last day's; then times a writer's append of one row while a "
          "reader reads the whole record, M times (default 10), beside the same append alone.");
      return 0;
    }
  }
  QTemporaryDir temporary;
  if (folder.isEmpty()) folder = temporary.path();
  QDir().mkpath(folder);
  const QString path = QDir(folder).filePath(QStringLiteral("record.csv"));
  const auto made = MakeFullRecord(path);
  std::printf("record: %lld rows in 4 files, %s\n", static_cast<long long>(made),
              qPrintable(folder));

  std::vector<double> all;
  std::vector<double> one;
  std::vector<double> day;
  std::size_t rows[3] = {};
  const QDateTime lastDay = kStart.addSecs(10 * made - 24 * 3600);
  for (int i = 0; i < reps; ++i) {
    all.push_back(TimedRead(path, {}, {}, rows[0]));
    one.push_back(TimedRead(path, {}, {7}, rows[1]));
    day.push_back(TimedRead(path, lastDay, {}, rows[2]));
  }
  PrintSummary("read, every row (" + std::to_string(rows[0]) + ")", all, "ms");
  PrintSummary("read, one detector (" + std::to_string(rows[1]) + ")", one, "ms");
  PrintSummary("read, the last day (" + std::to_string(rows[2]) + ")", day, "ms");

  // The writer's limit is set high: what is timed is its wait, not a rotation.
  Record writer(path, 1024 * Record::kDefaultSizeLimit);
  std::vector<double> alone;
  std::vector<double> beside;
  bool kept = true;
  for (int i = 0; i < writes; ++i) {
    auto start = Clock::now();
    kept = writer.Append(BusRow(made + i)) && kept;
    alone.push_back(Ms(Clock::now() - start));

    std::atomic<bool> reading = false;
    std::thread reader([&] {
      reading = true;
      Record::Read(path, {}, {}, {});
    });
    while (!reading) std::this_thread::yield();
    // Past the reader's start, into its reading of the rows.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    start = Clock::now();
    kept = writer.Append(BusRow(made + i)) && kept;
    beside.push_back(Ms(Clock::now() - start));
    reader.join();
  }
  PrintSummary("append of one row, no reader", alone, "ms");
  PrintSummary("append of one row beside a reader", beside, "ms");
  if (!kept) std::puts("WRONG: an append failed");
  return kept ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return karvello::bench::Main(argc, argv);
}
