// karvello-bench-survey-record: how long the survey window takes, after a change of period, to
// show the record's rows of that period and to have its trend chart drawn.
//
//   karvello-bench-survey-record [--reps N] [--help]
//
// A full record (four files of 8 MiB, about 270,000 rows of a bus of 16 detectors over a month)
// in a temporary folder; the window (offscreen, 1000 x 700) on an in-memory bus of the same 16
// detectors, scanned so that its table holds them. For each period (the whole record, its last
// week, its last day, and the whole record with one detector selected) N times (default 7): the
// period set, the record's rows read and shown, the chart given them and painted. Apart, the
// read alone (Record::Read through the window), for the share of the file.

#include <QApplication>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/full_record.h"
#include "bench/stats.h"
#include "serial/port_map.h"
#include "support/fake_port_probe.h"
#include "support/fake_serial_line.h"
#include "support/in_memory_bus.h"
#include "ui/survey_window.h"
#include "ui/trend_chart.h"

namespace karvello::bench {
namespace {

using Clock = std::chrono::steady_clock;

int Main(int argc, char** argv) {
  int reps = 7;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else {
      std::puts(
          "karvello-bench-survey-record [--reps N]\n"
          "Makes a full record (four files of 8 MiB, about 270,000 rows of 16 detectors over a "
          "month) in a temporary folder and times, N times (default 7) for each of four periods, "
          "the survey window's record view and trend chart made ready after a change of period: "
          "the rows read, shown in the record's table, and the chart painted.");
      return 0;
    }
  }
  QTemporaryDir folder;
  // The window's settings go to the benchmark's folder, not the user's.
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder.path());
  const QString path = folder.filePath(QStringLiteral("record.csv"));
  const std::int64_t made = MakeFullRecord(path);
  std::printf("record: %lld rows in 4 files\n", static_cast<long long>(made));
  // The newest row's time, and the period's bounds in whole minutes as the window's edits show.
  const QDateTime last = kStart.addSecs(10 * (made - 1));

  FakeSerialLine line({1});
  FakePortProbe probe({1});
  FixedPortMap ports;
  std::vector<sim::DetectorConfig> bus;
  for (int address = 1; address <= kDetectors; ++address) {
    bus.push_back(testing::At(static_cast<std::uint8_t>(address), 345, 1, 220));
  }
  testing::InMemoryBus detectors(line, bus);
  SurveyWindow window(line, ports, probe);
  window.findChild<QSpinBox*>(QStringLiteral("toBox"))->setValue(kDetectors);
  window.show();
  QApplication::processEvents();
  if (!window.StartScan() ||
      !detectors.Run(window.engine(), window.survey(),
                     [&] { return !window.survey().Running(); }) ||
      window.Detectors().size() != static_cast<std::size_t>(kDetectors)) {
    std::puts("WRONG: the scan did not find the 16 detectors");
    return 1;
  }
  Record record(path, 1024 * Record::kDefaultSizeLimit);  // no rotation while measured
  window.SetRecord(&record);
  auto* chart = window.findChild<TrendChart*>(QStringLiteral("trendChart"));
  auto* table = window.findChild<QTableWidget*>(QStringLiteral("table"));

  struct Period {
    const char* name;
    QDateTime from;
    bool oneSelected;
  };
  const Period periods[] = {{"whole record, 16 detectors", kStart, false},
                            {"last week, 16 detectors", last.addDays(-7), false},
                            {"last day, 16 detectors", last.addDays(-1), false},
                            {"whole record, 1 detector selected", kStart, true}};
  bool right = true;
  for (const Period& period : periods) {
    if (period.oneSelected) {
      table->selectRow(6);
    } else {
      table->clearSelection();
    }
    std::vector<double> ready;
    std::vector<double> read;
    std::size_t shown = 0;
    std::size_t charted = 0;
    for (int i = 0; i < reps; ++i) {
      // Another period first, so that each change is one.
      window.SetRecordPeriod(kStart.addYears(-1), kStart.addYears(-1).addSecs(60));
      window.ShowRecord();
      chart->repaint();
      QApplication::processEvents();

      const auto start = Clock::now();
      window.SetRecordPeriod(period.from, last);
      window.ShowRecord();
      chart->repaint();
      ready.push_back(Ms(Clock::now() - start));
      shown = static_cast<std::size_t>(window.RecordRowCount());
      charted = 0;
      for (const Quantity quantity : {Quantity::kResistance, Quantity::kVoltage}) {
        for (const trend::Series& series : chart->series(quantity)) {
          charted += series.points.size();
        }
      }
      const auto readStart = Clock::now();
      const std::size_t rows = window.RecordRows().size();
      read.push_back(Ms(Clock::now() - readStart));
      right = right && rows == shown;
    }
    PrintSummary(std::string(period.name) + " (" + std::to_string(shown) + " rows, " +
                     std::to_string(charted) + " charted)",
                 ready, "ms");
    PrintSummary("... of it the read", read, "ms");
  }
  if (!right) std::puts("WRONG: the view did not show the rows read");
  return right ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return karvello::bench::Main(argc, argv);
}
