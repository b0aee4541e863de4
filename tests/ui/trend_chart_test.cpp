// The trend chart's widget: the reading under the pointer, readings as they come, its picture
// (gaps, over-range marks) and its export.
#include "ui/trend_chart.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <cmath>
#include <tuple>

#if defined(__unix__)
#include "support/file_size_limit_posix.h"
#endif

namespace karvello {
namespace {

using trend::Point;
using trend::Quantity;

qint64 Ms(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return QDateTime(QDate(year, month, day), QTime(hour, minute, second)).toMSecsSinceEpoch();
}

// An hour from 10:00, readings every ten minutes.
const qint64 kFrom = Ms(2026, 12, 7, 10);
const qint64 kTo = Ms(2026, 12, 7, 11);
qint64 At(int minute) {
  return kFrom + minute * 60'000LL;
}

void ShowHour(TrendChart& chart, std::vector<trend::Series> series) {
  chart.resize(800, 400);
  chart.SetPeriod(QDateTime::fromMSecsSinceEpoch(kFrom), QDateTime::fromMSecsSinceEpoch(kTo));
  chart.SetSeries(Quantity::kResistance, std::move(series));
}

// Drawn in the first series' colour (blue), even where smoothed into the white around it; the
// grid is grey and the limit red.
bool Inked(const QImage& image, QPointF at) {
  const QColor c = image.pixelColor(at.toPoint());
  return c.blue() - c.red() > 40;
}

// A file "old" in `dir`, there before an export over it.
QString OldFile(const QTemporaryDir& dir) {
  const QString path = dir.filePath("chart.png");
  QFile old(path);
  EXPECT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("old");
  return path;
}

void ExpectOld(const QString& path) {
  QFile old(path);
  ASSERT_TRUE(old.open(QIODevice::ReadOnly));
  EXPECT_EQ(old.readAll(), "old");
}

// The tooltip with the pointer where `point` is drawn.
QString TipAt(const TrendChart& chart, const Point& point) {
  return chart.ToolTipAt(chart.frame().At(point).toPoint());
}

QImage Picture(const TrendChart& chart) {
  QImage image(chart.size(), QImage::Format_ARGB32_Premultiplied);
  QPainter painter(&image);
  chart.Render(painter, QSizeF(chart.size()), 1);
  return image;
}

TEST(TrendChart, SaysSoWhenThePeriodHoldsNoReading) {
  TrendChart chart;
  EXPECT_EQ(chart.Message(), "所选时段内没有记录");
  ShowHour(chart, {{3, {Point::Value(At(30), 34.5)}}});
  EXPECT_EQ(chart.Message(), "");
  chart.SetPeriod(QDateTime::fromMSecsSinceEpoch(kTo), QDateTime::fromMSecsSinceEpoch(kTo + 1000));
  EXPECT_EQ(chart.Message(), "所选时段内没有记录");
}

TEST(TrendChart, TellsTheReadingUnderThePointer) {
  TrendChart chart;
  ShowHour(chart, {{3, {Point::Value(At(10), 34.5), Point::OverRange(At(40))}}});
  EXPECT_EQ(TipAt(chart, Point::Value(At(10), 34.5)), "地址 3\n2026-12-07 10:10:00\n34.5 Ω");
  EXPECT_EQ(TipAt(chart, Point::OverRange(At(40))), "地址 3\n2026-12-07 10:40:00\nOL（超出量程）");
  EXPECT_EQ(TipAt(chart, Point::Value(At(25), 34.5)), "");
}

TEST(TrendChart, FollowsReadingsAsTheyAreMade) {
  TrendChart chart;
  ShowHour(chart, {{3, {Point::Value(At(10), 30)}}});
  chart.grab();  // painted once, as on screen, before the readings come
  chart.Append(Quantity::kResistance, 9, Point::Value(At(50), 35));
  chart.Append(Quantity::kResistance, 3, Point::Value(At(20), 31));
  chart.Append(Quantity::kVoltage, 3, Point::Value(At(20), 220));
  ASSERT_EQ(chart.series(Quantity::kResistance).size(), 2U);
  EXPECT_EQ(chart.series(Quantity::kResistance)[1].address, 9);
  EXPECT_EQ(TipAt(chart, Point::Value(At(50), 35)), "地址 9\n2026-12-07 10:50:00\n35 Ω");
  EXPECT_EQ(TipAt(chart, Point::Value(At(20), 31)), "地址 3\n2026-12-07 10:20:00\n31 Ω");
  EXPECT_TRUE(Inked(chart.grab().toImage(), chart.frame().At(Point::Value(At(20), 31))));
  chart.SetQuantity(Quantity::kVoltage);
  EXPECT_EQ(TipAt(chart, Point::Value(At(20), 220)), "地址 3\n2026-12-07 10:20:00\n220 V");
}

// A level line from 10:10 to 10:50 with the reading of 10:30 between: the line is drawn at
// 10:20 only when that reading has a value.
TEST(TrendChart, LeavesTheLineOutAroundAFailedReading) {
  const std::tuple<const char*, Point, bool> cases[] = {
      {"value", Point::Value(At(30), 50), true},
      {"failed", Point::Failed(At(30)), false},
      {"over range", Point::OverRange(At(30)), false},
  };
  for (const auto& [name, middle, lineThrough] : cases) {
    SCOPED_TRACE(name);
    TrendChart chart;
    const Point level = Point::Value(At(10), 50);
    ShowHour(chart, {{3, {level, middle, Point::Value(At(50), 50), Point::Value(At(55), 10)}}});
    const QImage image = Picture(chart);
    const trend::Frame& f = chart.frame();
    ASSERT_TRUE(Inked(image, {f.X(At(10)), f.Y(50)}));
    EXPECT_EQ(Inked(image, {f.X(At(20)), f.Y(50)}), lineThrough);
  }
}

TEST(TrendChart, MarksOverRangeAtTheTopEdge) {
  TrendChart chart;
  ShowHour(chart,
           {{3, {Point::Value(At(10), 50), Point::OverRange(At(30)), Point::Value(At(50), 40)}}});
  const QImage image = Picture(chart);
  const trend::Frame& f = chart.frame();
  EXPECT_TRUE(Inked(image, {f.X(At(30)), f.OverRangeY()}));
  EXPECT_FALSE(Inked(image, {f.X(At(30)), f.Y(f.high)}));
}

TEST(TrendChartExport, WritesAPngOfTheSizeAskedOrLeavesTheFileAlone) {
  const std::tuple<const char*, QSize, bool> cases[] = {
      {"as on screen", {800, 400}, true}, {"twice", {1600, 800}, true},
      {"smaller", {400, 300}, true},      {"widest", {8192, 16}, true},
      {"too wide", {8193, 16}, false},    {"too high", {16, 8193}, false},
      {"empty", {0, 400}, false},
  };
  for (const auto& [name, size, written] : cases) {
    SCOPED_TRACE(name);
    QTemporaryDir dir;
    const QString path = OldFile(dir);
    TrendChart chart;
    ShowHour(chart, {{3, {Point::Value(At(10), 30), Point::Value(At(20), 31)}}});
    EXPECT_EQ(chart.ExportPng(path, size), written);
    if (written) {
      QImageReader reader(path);
      EXPECT_EQ(reader.format(), "png");
      EXPECT_EQ(reader.size(), size);
    } else {
      ExpectOld(path);
      EXPECT_FALSE(chart.ExportError().isEmpty());
    }
  }
  // Into a folder that is not there.
  TrendChart chart;
  EXPECT_FALSE(chart.ExportPng(QTemporaryDir().filePath("none/chart.png"), {400, 300}));
  EXPECT_FALSE(chart.ExportError().isEmpty());
}

#if defined(__unix__)
// The disk refuses the picture midway: the old file stays
// as it was and nothing of the new one is left beside it.
TEST(TrendChartExport, KeepsTheOldFileWhenTheWriteFails) {
  QTemporaryDir dir;
  const QString path = OldFile(dir);
  TrendChart chart;
  ShowHour(chart, {{3, {Point::Value(At(10), 30), Point::Value(At(20), 31)}}});
  EXPECT_FALSE(testing::UnderFileSizeLimit(1024, [&] {
    return chart.ExportPng(path, {800, 400});
  }));
  EXPECT_FALSE(chart.ExportError().isEmpty());
  ExpectOld(path);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"chart.png"});
}
#endif

// A month of three detectors' readings every four hours, one of them rising over the limit,
// with failed and over-range readings: left in the build folder to be looked at.
TEST(TrendChartPicture, ShowsAMonthOfThreeDetectors) {
  const qint64 from = Ms(2026, 12, 1), to = Ms(2027, 1, 1);
  std::vector<trend::Series> series = {{3, {}}, {5, {}}, {12, {}}};
  const qint64 step = 4 * 3600'000LL;
  int i = 0;
  for (qint64 t = from; t < to; t += step, ++i) {
    const double day = static_cast<double>(t - from) / 86'400'000.0;
    series[0].points.push_back(Point::Value(t, 2.4 + 0.3 * std::sin(i * 0.9)));
    series[1].points.push_back(i >= 60 && i < 64 ? Point::Failed(t)
                                                 : Point::Value(t, 3.2 + 0.2 * std::cos(i * 0.5)));
    series[2].points.push_back(i == 120 || i == 121
                                   ? Point::OverRange(t)
                                   : Point::Value(t, 3.0 + day * 0.08 + 0.15 * std::sin(i * 1.3)));
  }
  TrendChart chart;
  chart.resize(900, 360);
  chart.SetPeriod(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(to));
  chart.SetLimit(4.0);
  chart.SetSeries(Quantity::kResistance, series);
  ASSERT_TRUE(QDir().mkpath(KARVELLO_ARTIFACTS_DIR));
  const QString path = QStringLiteral(KARVELLO_ARTIFACTS_DIR "/trend_chart_month.png");
  ASSERT_TRUE(chart.ExportPng(path, chart.size())) << chart.ExportError().toStdString();
  EXPECT_EQ(QImageReader(path).size(), QSize(900, 360));
}

}  // namespace
}  // namespace karvello
