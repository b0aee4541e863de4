// The trend chart: its axis ticks, the reduction of its series to pixel columns, the reading
// under the pointer, its picture (gaps, over-range marks) and its export.
#include "ui/trend_chart.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <cmath>
#include <limits>
#include <random>

#include "engine/operations.h"
#include "record/record.h"

#if defined(__unix__)
#include <sys/resource.h>

#include <csignal>
#endif

namespace karvello {
namespace {

using trend::Column;
using trend::Point;
using trend::Quantity;

// Names each case of a table by its `name`.
struct ByName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};
template <typename Case>
requires requires(const Case& c) {
  c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

qint64 Ms(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return QDateTime(QDate(year, month, day), QTime(hour, minute, second)).toMSecsSinceEpoch();
}

struct TimeCase {
  const char* name;
  qint64 from, to;
  int width;
  QStringList labels;
};

class TimeTicksTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeTicksTest, FallInsideTheSpanAtReadableTimes) {
  const TimeCase& c = GetParam();
  const std::vector<trend::TimeTick> ticks = trend::TimeTicks(c.from, c.to, c.width);
  QStringList labels;
  for (const trend::TimeTick& tick : ticks) labels << tick.label;
  EXPECT_EQ(labels, c.labels);
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    EXPECT_GE(ticks[i].ms, c.from);
    EXPECT_LE(ticks[i].ms, c.to);
    if (i == 0) continue;
    const double pixels = static_cast<double>(ticks[i].ms - ticks[i - 1].ms) * c.width /
                          static_cast<double>(c.to - c.from);
    EXPECT_GE(pixels, trend::kMinTimeTickSpacing) << labels[static_cast<int>(i)].toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Spans, TimeTicksTest,
    ::testing::Values(TimeCase{"Hour",
                               Ms(2026, 12, 7, 10),
                               Ms(2026, 12, 7, 11),
                               600,
                               {"10:00", "10:10", "10:20", "10:30", "10:40", "10:50", "11:00"}},
                      // Ten minutes take 80 pixels of 480: just enough; of 479, not.
                      TimeCase{"HourAt480",
                               Ms(2026, 12, 7, 10),
                               Ms(2026, 12, 7, 11),
                               480,
                               {"10:00", "10:10", "10:20", "10:30", "10:40", "10:50", "11:00"}},
                      TimeCase{"HourAt479",
                               Ms(2026, 12, 7, 10),
                               Ms(2026, 12, 7, 11),
                               479,
                               {"10:00", "10:15", "10:30", "10:45", "11:00"}},
                      TimeCase{"HourNotOnTheHour",
                               Ms(2026, 12, 7, 10, 3),
                               Ms(2026, 12, 7, 11, 3),
                               600,
                               {"10:10", "10:20", "10:30", "10:40", "10:50", "11:00"}},
                      TimeCase{"TwoMinutes",
                               Ms(2026, 12, 7, 10),
                               Ms(2026, 12, 7, 10, 2),
                               600,
                               {"10:00:00", "10:00:30", "10:01:00", "10:01:30", "10:02:00"}},
                      TimeCase{"Day",
                               Ms(2026, 12, 7),
                               Ms(2026, 12, 8),
                               1000,
                               {"12月7日", "02:00", "04:00", "06:00", "08:00", "10:00", "12:00",
                                "14:00", "16:00", "18:00", "20:00", "22:00", "12月8日"}},
                      TimeCase{"Month",
                               Ms(2026, 12, 1),
                               Ms(2027, 1, 1),
                               1000,
                               {"12月1日", "12月6日", "12月11日", "12月16日", "12月21日",
                                "12月26日", "1月1日"}},
                      TimeCase{"Year",
                               Ms(2026, 1, 1),
                               Ms(2027, 1, 1),
                               1100,
                               {"2026年1月", "2月", "3月", "4月", "5月", "6月", "7月", "8月", "9月",
                                "10月", "11月", "12月", "2027年1月"}},
                      TimeCase{"Decade",
                               Ms(2020, 1, 1),
                               Ms(2030, 1, 1),
                               600,
                               {"2020年", "2022年", "2024年", "2026年", "2028年", "2030年"}},
                      TimeCase{"NoSpan", Ms(2026, 12, 7), Ms(2026, 12, 7), 600, {}},
                      TimeCase{"NoWidth", Ms(2026, 12, 7), Ms(2026, 12, 8), 0, {}}),
    ByName{});

struct ValueCase {
  const char* name;
  double min, max;
  int pixels;
  QStringList labels;
};

class ValueTicksTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueTicksTest, AreNiceStepsInsideTheRange) {
  const ValueCase& c = GetParam();
  QStringList labels;
  for (const trend::ValueTick& tick : trend::ValueTicks(c.min, c.max, c.pixels)) {
    labels << tick.label;
    EXPECT_GE(tick.value, c.min - 1e-9);
    EXPECT_LE(tick.value, c.max + 1e-9);
  }
  EXPECT_EQ(labels, c.labels);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ValueTicksTest,
    ::testing::Values(
        // A step of 10 takes 40 pixels of 400: just enough; of 399, not.
        ValueCase{"TensAt400",
                  0,
                  100,
                  400,
                  {"0", "10", "20", "30", "40", "50", "60", "70", "80", "90", "100"}},
        ValueCase{"TwentiesAt399", 0, 100, 399, {"0", "20", "40", "60", "80", "100"}},
        ValueCase{"Tenths", 0.13, 0.92, 200, {"0.2", "0.4", "0.6", "0.8"}},
        ValueCase{
            "Hundredths", 12.3, 12.4, 200, {"12.30", "12.32", "12.34", "12.36", "12.38", "12.40"}},
        ValueCase{"Thousands", 1200, 9800, 300, {"2000", "4000", "6000", "8000"}},
        ValueCase{"NoRange", 5, 5, 100, {}}, ValueCase{"NoPixels", 0, 1, 0, {}}),
    ByName{});

struct ReduceCase {
  const char* name;
  std::vector<Point> points;
  std::vector<std::vector<Column>> runs;
  std::vector<int> overRange, failed;
};

class ReduceTest : public ::testing::TestWithParam<ReduceCase> {};

// Four columns of 10 ms each over [0, 40].
TEST_P(ReduceTest, KeepsEachColumnsRangeAndBreaksAtFailures) {
  const ReduceCase& c = GetParam();
  const trend::Reduced reduced = trend::Reduce(c.points, 0, 40, 4);
  EXPECT_EQ(reduced.runs, c.runs);
  EXPECT_EQ(reduced.overRange, c.overRange);
  EXPECT_EQ(reduced.failed, c.failed);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Series, ReduceTest,
    ::testing::Values(
        ReduceCase{"ManyInAColumn",
                   {Point::Value(0, 5), Point::Value(1, 1), Point::Value(2, 9), Point::Value(3, 4)},
                   {{{0, 1, 9}}},
                   {},
                   {}},
        ReduceCase{
            "FailureBreaksTheLine",
            {Point::Value(0, 1), Point::Value(10, 2), Point::Failed(20), Point::Value(30, 3)},
            {{{0, 1, 1}, {1, 2, 2}}, {{3, 3, 3}}},
            {},
            {2}},
        ReduceCase{"FailureWithinOneColumn",
                   {Point::Value(0, 1), Point::Failed(1), Point::Value(2, 2)},
                   {{{0, 1, 1}}, {{0, 2, 2}}},
                   {},
                   {0}},
        ReduceCase{"NotANumberIsAFailure",
                   {Point::Value(0, 1), Point::Value(15, kNaN), Point::Value(30, 2)},
                   {{{0, 1, 1}}, {{3, 2, 2}}},
                   {},
                   {1}},
        ReduceCase{
            "OverRangeBreaksAndIsMarkedOnce",
            {Point::Value(0, 1), Point::OverRange(10), Point::OverRange(11), Point::Value(30, 2)},
            {{{0, 1, 1}}, {{3, 2, 2}}},
            {1},
            {}},
        ReduceCase{
            "OutsideThePeriodLeftOut",
            {Point::Value(-5, 7), Point::Value(0, 1), Point::Value(40, 2), Point::Failed(41)},
            {{{0, 1, 1}, {3, 2, 2}}},
            {},
            {}}),
    ByName{});

// Many readings to a column, some failed: each column's range is that of its readings, and
// every stretch between failures is one run.
TEST(Reduce, MatchesEveryColumnOfARandomSeries) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(0, 100);
  std::vector<Point> points;
  std::size_t stretches = 0;
  bool inStretch = false;
  for (qint64 t = 0; t < 30'000; t += 1 + static_cast<qint64>(random() % 5)) {
    if (random() % 50 == 0) {
      points.push_back(Point::Failed(t));
      inStretch = false;
    } else {
      points.push_back(Point::Value(t, value(random)));
      if (!inStretch) ++stretches;
      inStretch = true;
    }
  }
  const int columns = 300;
  const trend::Reduced reduced = trend::Reduce(points, 0, 30'000, columns);
  std::vector<double> lo(columns, 1e9), hi(columns, -1e9);
  for (const Point& p : points) {
    if (p.kind != Point::Kind::kValue) continue;
    const int c = static_cast<int>(p.ms * columns / 30'000);
    lo[c] = std::min(lo[c], p.value);
    hi[c] = std::max(hi[c], p.value);
  }
  std::vector<double> gotLo(columns, 1e9), gotHi(columns, -1e9);
  for (const auto& run : reduced.runs) {
    for (const Column& c : run) {
      gotLo[c.index] = std::min(gotLo[c.index], c.min);
      gotHi[c.index] = std::max(gotHi[c.index], c.max);
    }
  }
  EXPECT_EQ(gotLo, lo);
  EXPECT_EQ(gotHi, hi);
  EXPECT_EQ(reduced.runs.size(), stretches);
}

TEST(MarksPoints, WhileEachPointHasFourPixels) {
  EXPECT_TRUE(trend::MarksPoints(100, 400));
  EXPECT_FALSE(trend::MarksPoints(101, 400));
}

struct HoverCase {
  const char* name;
  QPointF at;
  std::optional<trend::Hit> hit;
};

class NearestTest : public ::testing::TestWithParam<HoverCase> {};

// Times 0 to 100 across 100 pixels; values 0 to 100 from y = 116 up to the band's foot at 16.
TEST_P(NearestTest, FindsTheReadingDrawnNearest) {
  trend::Frame frame;
  frame.plot = QRectF(0, 0, 100, 116);
  frame.from = 0;
  frame.to = 100;
  frame.low = 0;
  frame.high = 100;
  const std::vector<trend::Series> series = {
      {3, {Point::Value(10, 50), Point::OverRange(50), Point::Failed(70)}},  // (10, 66) (50, 8)
      {5, {Point::Value(12, 60)}}};                                          // (12, 56)
  EXPECT_EQ(trend::Nearest(series, frame, GetParam().at), GetParam().hit);
}

INSTANTIATE_TEST_SUITE_P(
    Pointer, NearestTest,
    ::testing::Values(HoverCase{"OnAValue", {10, 66}, trend::Hit{0, 0}},
                      HoverCase{"NearerTheOther", {12, 58}, trend::Hit{1, 0}},
                      HoverCase{"EightPixelsAway", {10, 74}, trend::Hit{0, 0}},
                      HoverCase{"NinePixelsAway", {10, 75}, std::nullopt},
                      HoverCase{"OverRangeAtTheTop", {51, 10}, trend::Hit{0, 1}},
                      HoverCase{"FailedAtTheBottom", {70, 110}, trend::Hit{0, 2}},
                      HoverCase{"Nothing", {30, 30}, std::nullopt}),
    ByName{});

RecordRow Row(qint64 ms, int address, Operation operation, Result result, std::string value,
              bool again = false) {
  RecordRow row;
  row.time = QDateTime::fromMSecsSinceEpoch(ms);
  row.address = address;
  row.operation = Describe(operation).name;
  row.result = ResultName(result);
  row.value = std::move(value);
  row.again = again;
  return row;
}

TEST(SeriesOf, ReadsValuesOverRangeAndFailuresFromTheRecord) {
  const std::vector<RecordRow> rows = {
      Row(30, 7, Operation::kReadResistance, Result::kAnswered, "5"),
      Row(10, 3, Operation::kQueryResistance, Result::kAnswered, "34.5"),
      Row(20, 3, Operation::kReadResistance, Result::kAnswered, "OL"),
      Row(25, 3, Operation::kQueryResistance, Result::kNoReply, ""),
      Row(26, 3, Operation::kQueryResistance, Result::kCorrupt, ""),
      Row(27, 3, Operation::kQueryResistance, Result::kAnswered, "34.6", true),
      Row(28, 3, Operation::kQueryResistance, Result::kNotSent, ""),
      Row(29, 3, Operation::kStartMeasurement, Result::kAnswered, ""),
      Row(15, 7, Operation::kReadResistance, Result::kAnswered, "4.25"),
      Row(12, 5, Operation::kQueryVoltage, Result::kAnswered, "220"),
      Row(14, 5, Operation::kQueryVoltage, Result::kWrongReply, "")};
  const std::vector<trend::Series> resistance = trend::SeriesOf(rows, Quantity::kResistance);
  ASSERT_EQ(resistance.size(), 2U);
  EXPECT_EQ(resistance[0].address, 3);
  EXPECT_EQ(resistance[0].points, (std::vector<Point>{Point::Value(10, 34.5), Point::OverRange(20),
                                                      Point::Failed(25), Point::Failed(26)}));
  EXPECT_EQ(resistance[1].address, 7);
  EXPECT_EQ(resistance[1].points,
            (std::vector<Point>{Point::Value(15, 4.25), Point::Value(30, 5)}));
  const std::vector<trend::Series> voltage = trend::SeriesOf(rows, Quantity::kVoltage);
  ASSERT_EQ(voltage.size(), 1U);
  EXPECT_EQ(voltage[0].address, 5);
  EXPECT_EQ(voltage[0].points, (std::vector<Point>{Point::Value(12, 220), Point::Failed(14)}));
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
  const auto pointer = [&](const Point& p) { return chart.frame().At(p).toPoint(); };
  EXPECT_EQ(chart.ToolTipAt(pointer(Point::Value(At(10), 34.5))),
            "地址 3\n2026-12-07 10:10:00\n34.5 Ω");
  EXPECT_EQ(chart.ToolTipAt(pointer(Point::OverRange(At(40)))),
            "地址 3\n2026-12-07 10:40:00\nOL（超出量程）");
  EXPECT_EQ(chart.ToolTipAt(pointer(Point::Value(At(25), 34.5))), "");
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
  EXPECT_EQ(chart.ToolTipAt(chart.frame().At(Point::Value(At(50), 35)).toPoint()),
            "地址 9\n2026-12-07 10:50:00\n35 Ω");
  EXPECT_EQ(chart.ToolTipAt(chart.frame().At(Point::Value(At(20), 31)).toPoint()),
            "地址 3\n2026-12-07 10:20:00\n31 Ω");
  EXPECT_TRUE(Inked(chart.grab().toImage(), chart.frame().At(Point::Value(At(20), 31))));
  chart.SetQuantity(Quantity::kVoltage);
  EXPECT_EQ(chart.ToolTipAt(chart.frame().At(Point::Value(At(20), 220)).toPoint()),
            "地址 3\n2026-12-07 10:20:00\n220 V");
}

struct GapCase {
  const char* name;
  Point middle;
  bool lineThrough;
};

class GapTest : public ::testing::TestWithParam<GapCase> {};

// A level line from 10:10 to 10:50 with the reading of 10:30 between: the line is drawn at
// 10:20 only when that reading has a value.
TEST_P(GapTest, LeavesTheLineOutAroundAFailedReading) {
  TrendChart chart;
  ShowHour(chart, {{3,
                    {Point::Value(At(10), 50), GetParam().middle, Point::Value(At(50), 50),
                     Point::Value(At(55), 10)}}});
  const QImage image = Picture(chart);
  const trend::Frame& f = chart.frame();
  ASSERT_TRUE(Inked(image, {f.X(At(10)), f.Y(50)}));
  EXPECT_EQ(Inked(image, {f.X(At(20)), f.Y(50)}), GetParam().lineThrough);
}

INSTANTIATE_TEST_SUITE_P(Middle, GapTest,
                         ::testing::Values(GapCase{"Value", Point::Value(At(30), 50), true},
                                           GapCase{"Failed", Point::Failed(At(30)), false},
                                           GapCase{"OverRange", Point::OverRange(At(30)), false}),
                         ByName{});

TEST(TrendChart, MarksOverRangeAtTheTopEdge) {
  TrendChart chart;
  ShowHour(chart,
           {{3, {Point::Value(At(10), 50), Point::OverRange(At(30)), Point::Value(At(50), 40)}}});
  const QImage image = Picture(chart);
  const trend::Frame& f = chart.frame();
  EXPECT_TRUE(Inked(image, {f.X(At(30)), f.OverRangeY()}));
  EXPECT_FALSE(Inked(image, {f.X(At(30)), f.Y(f.high)}));
}

struct ExportCase {
  const char* name;
  QSize size;
  bool written;
};

class ExportTest : public ::testing::TestWithParam<ExportCase> {};

TEST_P(ExportTest, WritesAPngOfTheSizeAskedOrLeavesTheFileAlone) {
  QTemporaryDir dir;
  const QString path = dir.filePath("chart.png");
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
  }
  TrendChart chart;
  ShowHour(chart, {{3, {Point::Value(At(10), 30), Point::Value(At(20), 31)}}});
  EXPECT_EQ(chart.ExportPng(path, GetParam().size), GetParam().written);
  if (GetParam().written) {
    QImageReader reader(path);
    EXPECT_EQ(reader.format(), "png");
    EXPECT_EQ(reader.size(), GetParam().size);
  } else {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "old");
    EXPECT_FALSE(chart.ExportError().isEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExportTest,
                         ::testing::Values(ExportCase{"AsOnScreen", {800, 400}, true},
                                           ExportCase{"Twice", {1600, 800}, true},
                                           ExportCase{"Smaller", {400, 300}, true},
                                           ExportCase{"Widest", {8192, 16}, true},
                                           ExportCase{"TooWide", {8193, 16}, false},
                                           ExportCase{"TooHigh", {16, 8193}, false},
                                           ExportCase{"Empty", {0, 400}, false}),
                         ByName{});

TEST(TrendChartExport, FailsIntoAFolderThatIsNotThere) {
  QTemporaryDir dir;
  TrendChart chart;
  EXPECT_FALSE(chart.ExportPng(dir.filePath("none/chart.png"), {400, 300}));
  EXPECT_FALSE(chart.ExportError().isEmpty());
}

#if defined(__unix__)
// The disk refuses the picture midway (a file size limit binds root too): the old file stays
// as it was and nothing of the new one is left beside it.
TEST(TrendChartExport, KeepsTheOldFileWhenTheWriteFails) {
  QTemporaryDir dir;
  const QString path = dir.filePath("chart.png");
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
  }
  TrendChart chart;
  ShowHour(chart, {{3, {Point::Value(At(10), 30), Point::Value(At(20), 31)}}});
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = 1024;
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = chart.ExportPng(path, {800, 400});
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_FALSE(chart.ExportError().isEmpty());
  QFile old(path);
  ASSERT_TRUE(old.open(QIODevice::ReadOnly));
  EXPECT_EQ(old.readAll(), "old");
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
