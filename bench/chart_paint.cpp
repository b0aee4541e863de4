// karvello-bench-chart: the trend chart's paint and the reduction of its data, at 1920 x 1080 with
// 10 detectors of 30,000 readings each over a month (1 % failed, 0.2 % over range).
//
//   karvello-bench-chart [--reps N] [--picture PATH] [--help]
//
// - set data: SetSeries of all ten series, which sorts nothing (they come in order) and reduces
//   them to the plot's pixel columns;
// - paint: the widget rendered into a 1920 x 1080 QImage (its paintEvent, as on screen). Goal:
//   under 16 ms. Its processor time too, which a busy machine does not stretch;
// - resize: the width changed by 20 pixels, the columns reduced again;
// - append: one new reading of one detector (that series reduced again);
// - hover: the tooltip's search for the reading under the pointer, at random places;
// - export: ExportPng at 1920 x 1080, PNG encoding and writing included.
// With --picture, the chart is also written there as a PNG to be looked at.

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "ui/trend_chart.h"

namespace karvello::bench {
namespace {

using Clock = std::chrono::steady_clock;
using trend::Point;
using trend::Quantity;

constexpr int kDetectors = 10;
constexpr int kPointsEach = 30'000;

std::vector<trend::Series> Readings(qint64 from, qint64 to) {
  std::mt19937 random(11);
  std::normal_distribution<double> walk(0, 0.05);
  std::uniform_int_distribution<int> per(0, 999);
  std::vector<trend::Series> series;
  const qint64 step = (to - from) / kPointsEach;
  for (int d = 0; d < kDetectors; ++d) {
    trend::Series s{d + 1, {}};
    double value = 2.0 + d * 0.6;
    for (int i = 0; i < kPointsEach; ++i) {
      const qint64 t = from + i * step;
      const int roll = per(random);
      value = std::max(0.1, value + walk(random));
      if (roll < 10) {
        s.points.push_back(Point::Failed(t));
      } else if (roll < 12) {
        s.points.push_back(Point::OverRange(t));
      } else {
        s.points.push_back(Point::Value(t, value));
      }
    }
    series.push_back(std::move(s));
  }
  return series;
}

template <typename F>
double Time(F&& f) {
  const auto start = Clock::now();
  f();
  return Ms(Clock::now() - start);
}

// The processor time of this thread, which other programs on a busy machine do not stretch.
double ThreadMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

int Run(int reps, const QString& picture) {
  const QDateTime from(QDate(2026, 12, 1), QTime(0, 0));
  const QDateTime to(QDate(2027, 1, 1), QTime(0, 0));
  const std::vector<trend::Series> readings =
      Readings(from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch());

  TrendChart chart;
  chart.resize(1920, 1080);
  chart.SetPeriod(from, to);
  chart.SetLimit(5.0);
  QImage image(1920, 1080, QImage::Format_ARGB32_Premultiplied);
  chart.show();          // resized at once, as on screen
  chart.render(&image);  // the first paint, outside the timing

  std::vector<double> set, paint, resize, append, hover, exported;
  for (int i = 0; i < std::max(1, reps / 10); ++i) {
    std::vector<trend::Series> copy = readings;
    set.push_back(Time([&] { chart.SetSeries(Quantity::kResistance, std::move(copy)); }));
  }
  chart.render(&image);
  std::vector<double> paintCpu;
  for (int i = 0; i < reps; ++i) {
    const double cpu = ThreadMs();
    paint.push_back(Time([&] { chart.render(&image); }));
    paintCpu.push_back(ThreadMs() - cpu);
  }
  for (int i = 0; i < std::max(1, reps / 10); ++i) {
    resize.push_back(Time([&] { chart.resize(i % 2 == 0 ? 1900 : 1920, 1080); }));
  }
  chart.resize(1920, 1080);
  qint64 last = readings.front().points.back().ms;
  for (int i = 0; i < reps; ++i) {
    last += 1000;
    append.push_back(Time(
        [&] { chart.Append(Quantity::kResistance, 1 + i % kDetectors, Point::Value(last, 3)); }));
  }
  std::mt19937 random(5);
  std::uniform_int_distribution<int> x(0, 1919), y(0, 1079);
  int found = 0;
  for (int i = 0; i < reps; ++i) {
    const QPoint at(x(random), y(random));
    hover.push_back(Time([&] { found += chart.ToolTipAt(at).isEmpty() ? 0 : 1; }));
  }
  QTemporaryDir dir;
  for (int i = 0; i < std::max(1, reps / 20); ++i) {
    exported.push_back(Time([&] { chart.ExportPng(dir.filePath("chart.png"), {1920, 1080}); }));
  }
  if (!picture.isEmpty() && !chart.ExportPng(picture, {1920, 1080})) {
    std::fprintf(stderr, "%s\n", qPrintable(chart.ExportError()));
    return 1;
  }

  std::printf("trend chart, %d detectors x %d readings, 1920 x 1080\n", kDetectors, kPointsEach);
  PrintSummary("set data (reduce)", set, "ms");
  PrintSummary("paint (render into QImage)", paint, "ms");
  PrintSummary("... its processor time", paintCpu, "ms");
  PrintSummary("resize by 20 px (reduce again)", resize, "ms");
  PrintSummary("append one reading", append, "ms");
  PrintSummary("hover (nearest reading)", hover, "ms");
  PrintSummary("export PNG 1920 x 1080", exported, "ms");
  std::printf("hover found a reading at %d of %d places\n", found, reps);
  return 0;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const char* usage = "usage: karvello-bench-chart [--reps N] [--picture PATH] [--help]\n";
  int reps = 200;
  QString picture;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "%s"
          "Measures the trend chart at 1920 x 1080 with 10 detectors of 30,000 readings: setting\n"
          "the data (the reduction to pixel columns), painting (N renders into a QImage, default\n"
          "200), resizing, appending a reading, finding the reading under the pointer and\n"
          "exporting a PNG. --picture writes the chart to PATH.\n",
          usage);
      return 0;
    }
    if (i + 1 < argc && arg == "--reps") {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (i + 1 < argc && arg == "--picture") {
      picture = QString::fromLocal8Bit(argv[++i]);
    } else {
      std::fprintf(stderr, "%s", usage);
      return 2;
    }
  }
  return karvello::bench::Run(reps, picture);
}
