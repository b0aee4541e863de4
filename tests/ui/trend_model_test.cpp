// The trend chart's model without a widget: its axis ticks, its value axis and limit line, the
// reduction of its series to pixel columns, the reading under the pointer, the series read from
// the record and kept as readings come.
#include "ui/trend_model.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QStringList>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/operations.h"
#include "record/record.h"
#include "support/case_names.h"

namespace karvello {
namespace {

using test::PrintTo;
using trend::Column;
using trend::Point;
using trend::Quantity;

qint64 Ms(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return QDateTime(QDate(year, month, day), QTime(hour, minute, second)).toMSecsSinceEpoch();
}

struct TimeCase {
  const char* name;
  qint64 from, to;
  int width;
  const char* labels;  // a space between
};

class TimeTicksTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeTicksTest, FallInsideTheSpanAtReadableTimes) {
  const TimeCase& c = GetParam();
  const std::vector<trend::TimeTick> ticks = trend::TimeTicks(c.from, c.to, c.width);
  QStringList labels;
  for (const trend::TimeTick& tick : ticks) labels << tick.label;
  EXPECT_EQ(labels.join(' '), c.labels);
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    EXPECT_GE(ticks[i].ms, c.from);
    EXPECT_LE(ticks[i].ms, c.to);
    if (i == 0) continue;
    const double pixels = static_cast<double>(ticks[i].ms - ticks[i - 1].ms) * c.width /
                          static_cast<double>(c.to - c.from);
    EXPECT_GE(pixels, trend::kMinTimeTickSpacing) << labels[static_cast<int>(i)].toStdString();
  }
}

// An hour from 10:00 on 7 December 2026, and its ticks every ten minutes.
const qint64 k10 = Ms(2026, 12, 7, 10);
const qint64 k11 = Ms(2026, 12, 7, 11);
const char* const kTenMinutes = "10:00 10:10 10:20 10:30 10:40 10:50 11:00";
const qint64 kDay = Ms(2026, 12, 7);

INSTANTIATE_TEST_SUITE_P(
    Spans, TimeTicksTest,
    ::testing::Values(
        TimeCase{"Hour", k10, k11, 600, kTenMinutes},
        // Ten minutes take 80 pixels of 480: just enough; of 479, not.
        TimeCase{"HourAt480", k10, k11, 480, kTenMinutes},
        TimeCase{"HourAt479", k10, k11, 479, "10:00 10:15 10:30 10:45 11:00"},
        TimeCase{"HourNotOnTheHour", Ms(2026, 12, 7, 10, 3), Ms(2026, 12, 7, 11, 3), 600,
                 kTenMinutes + 6},
        TimeCase{"TwoMinutes", k10, Ms(2026, 12, 7, 10, 2), 600,
                 "10:00:00 10:00:30 10:01:00 10:01:30 10:02:00"},
        TimeCase{
            "Day", kDay, Ms(2026, 12, 8), 1000,
            "12月7日 02:00 04:00 06:00 08:00 10:00 12:00 14:00 16:00 18:00 20:00 22:00 12月8日"},
        TimeCase{"Month", Ms(2026, 12, 1), Ms(2027, 1, 1), 1000,
                 "12月1日 12月6日 12月11日 12月16日 12月21日 12月26日 1月1日"},
        TimeCase{"Year", Ms(2026, 1, 1), Ms(2027, 1, 1), 1100,
                 "2026年1月 2月 3月 4月 5月 6月 7月 8月 9月 10月 11月 12月 2027年1月"},
        TimeCase{"Decade", Ms(2020, 1, 1), Ms(2030, 1, 1), 600,
                 "2020年 2022年 2024年 2026年 2028年 2030年"},
        TimeCase{"NoSpan", kDay, kDay, 600, ""}, TimeCase{"NoWidth", kDay, Ms(2026, 12, 8), 0, ""}),
    test::CaseName{});

TEST(ValueTicks, AreNiceStepsInsideTheRange) {
  const struct {
    double min, max;
    int pixels;
    const char* labels;  // a space between
  } cases[] = {
      // A step of 10 takes 40 pixels of 400: just enough; of 399, not.
      {0, 100, 400, "0 10 20 30 40 50 60 70 80 90 100"},
      {0, 100, 399, "0 20 40 60 80 100"},
      {0.13, 0.92, 200, "0.2 0.4 0.6 0.8"},
      {12.3, 12.4, 200, "12.30 12.32 12.34 12.36 12.38 12.40"},
      {1200, 9800, 300, "2000 4000 6000 8000"},
      {5, 5, 100, ""},
      {0, 1, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.labels);
    QStringList labels;
    for (const trend::ValueTick& tick : trend::ValueTicks(c.min, c.max, c.pixels)) {
      labels << tick.label;
      EXPECT_GE(tick.value, c.min - 1e-9);
      EXPECT_LE(tick.value, c.max + 1e-9);
    }
    EXPECT_EQ(labels.join(' '), c.labels);
  }
}

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
    test::CaseName{});

TEST(MarksPoints, WhileEachPointHasFourPixels) {
  EXPECT_TRUE(trend::MarksPoints(100, 400));
  EXPECT_FALSE(trend::MarksPoints(101, 400));
}

// A plot 100 pixels wide and `height` high, of times and values 0 to 100.
trend::Frame Hundred(double height) {
  return {.plot = QRectF(0, 0, 100, height), .from = 0, .to = 100, .low = 0, .high = 100};
}

struct HoverCase {
  const char* name;
  QPointF at;
  std::optional<trend::Hit> hit;
};

class NearestTest : public ::testing::TestWithParam<HoverCase> {};

// Times 0 to 100 across 100 pixels; values 0 to 100 from y = 116 up to the band's foot at 16.
TEST_P(NearestTest, FindsTheReadingDrawnNearest) {
  const trend::Frame frame = Hundred(116);
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
    test::CaseName{});

RecordRow Row(qint64 ms, int address, Operation operation, Result result, std::string value,
              bool again = false) {
  RecordRow row;
  row.time = QDateTime::fromMSecsSinceEpoch(ms);
  row.address = address;
  row.operation = operation;
  row.result = result;
  row.value = ReadingOf(value);
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

// An hour from 10:00.
const qint64 kFrom = Ms(2026, 12, 7, 10);
const qint64 kTo = Ms(2026, 12, 7, 11);
qint64 At(int minute) {
  return kFrom + minute * 60'000LL;
}
Point V(int minute, double value) {
  return Point::Value(At(minute), value);
}
Point OL(int minute) {
  return Point::OverRange(At(minute));
}

// The model's layout at 800 x 400, with its texts 7 pixels a character and 14 high.
const trend::Layout& Laid(trend::Model& model) {
  model.Prepare(QSizeF(800, 400), 1);
  return model.layout();
}

struct AxisCase {
  const char* name;
  Quantity quantity;
  std::vector<Point> points;  // of detector 3 in the hour
  std::optional<double> limit;
  double low, high;
  bool limitLine;
};

class AxisTest : public ::testing::TestWithParam<AxisCase> {};

// The value axis takes in the readings and the limit, never below 0 for readings that are not;
// the limit line lies in the plot, below the band of over-range readings, its label whole in it.
TEST_P(AxisTest, TakesInTheReadingsAndTheLimit) {
  const AxisCase& c = GetParam();
  trend::Model model;
  model.SetPeriod(QDateTime::fromMSecsSinceEpoch(kFrom), QDateTime::fromMSecsSinceEpoch(kTo));
  model.SetQuantity(c.quantity);
  model.SetLimit(c.limit);
  model.SetSeries(c.quantity, {{3, c.points}});
  const trend::Layout& layout = Laid(model);
  const trend::Frame& f = layout.frame;
  EXPECT_NEAR(f.low, c.low, 1e-9);
  EXPECT_NEAR(f.high, c.high, 1e-9);
  ASSERT_EQ(layout.limit.has_value(), c.limitLine);
  if (!layout.limit) return;
  EXPECT_GE(layout.limit->y, f.plot.top() + f.band);
  EXPECT_LE(layout.limit->y, f.plot.bottom());
  EXPECT_TRUE(f.plot.contains(layout.limit->label));
}

const Quantity kOhms = Quantity::kResistance;
const Quantity kVolts = Quantity::kVoltage;
const std::nullopt_t kNone = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Readings, AxisTest,
    ::testing::Values(
        AxisCase{"LimitAboveTheReadings", kOhms, {V(10, 2), V(30, 3)}, 10, 1.6, 10.4, true},
        AxisCase{"LimitBelowTheReadings", kOhms, {V(10, 5), V(30, 6)}, 1, 0.75, 6.25, true},
        AxisCase{"LimitAmongTheReadings", kOhms, {V(10, 2), V(30, 12)}, 10, 1.5, 12.5, true},
        AxisCase{"NoNegativeAxisFromZeroPointTwo",
                 kOhms,
                 {V(10, 0.2), V(30, 10)},
                 kNone,
                 0,
                 10.49,
                 false},
        AxisCase{
            "NoNegativeAxisUnderALowLimit", kOhms, {V(10, 0.2), V(30, 3)}, 0.1, 0, 3.145, true},
        AxisCase{"ZeroAlone", kOhms, {V(10, 0)}, kNone, 0, 0.001, false},
        AxisCase{"OneValue", kOhms, {V(10, 3.3)}, kNone, 2.97, 3.63, false},
        AxisCase{"NegativeValuesBelowZero", kVolts, {V(10, -1), V(30, 1)}, kNone, -1.1, 1.1, false},
        AxisCase{"VoltageHasNoLimit", kVolts, {V(10, 220), V(30, 221)}, 10, 219.95, 221.05, false},
        AxisCase{"OnlyOverRangeWithALimit", kOhms, {OL(10), OL(20)}, 10, 9, 11, true},
        AxisCase{"NoReadingNoLimitLine", kOhms, {}, 10, 0, 1, false}),
    test::CaseName{});

struct LimitMarkCase {
  const char* name;
  double limit;
  double y, labelTop;
};

class LimitMarkTest : public ::testing::TestWithParam<LimitMarkCase> {};

// Values 0 to 100 from y = 100 up to 0; a label 30 x 14 goes 2 pixels above the line while it
// fits in the plot, else 2 below it.
TEST_P(LimitMarkTest, PutsTheLabelWhereItFits) {
  trend::Frame frame = Hundred(100);
  frame.band = 0;
  const trend::LimitMark mark = trend::LimitMarkAt(frame, GetParam().limit, QSizeF(30, 14));
  EXPECT_DOUBLE_EQ(mark.y, GetParam().y);
  EXPECT_EQ(mark.label, QRectF(66, GetParam().labelTop, 30, 14));
}

INSTANTIATE_TEST_SUITE_P(Heights, LimitMarkTest,
                         ::testing::Values(LimitMarkCase{"Middle", 50, 50, 34},
                                           LimitMarkCase{"JustRoomAbove", 84, 16, 0},
                                           LimitMarkCase{"NoRoomAbove", 85, 15, 17},
                                           LimitMarkCase{"AtTheTop", 100, 0, 2}),
                         test::CaseName{});

struct PeriodCase {
  const char* name;
  std::optional<int> from, to;  // minutes after 10:00; none: not set
  std::vector<int> readings;    // minutes after 10:00
  bool hasPeriod;
  int shownFrom, shownTo;
};

class PeriodTest : public ::testing::TestWithParam<PeriodCase> {};

// A bound not set is that of the readings; a single moment gets the hour around it.
TEST_P(PeriodTest, TakesAnEndNotSetFromTheReadings) {
  const PeriodCase& c = GetParam();
  const auto bound = [](std::optional<int> minute) {
    return minute ? QDateTime::fromMSecsSinceEpoch(At(*minute)) : QDateTime();
  };
  trend::Model model;
  model.SetPeriod(bound(c.from), bound(c.to));
  std::vector<Point> points;
  for (const int minute : c.readings) points.push_back(V(minute, 1));
  model.SetSeries(Quantity::kResistance, {{3, points}});
  const trend::Layout& layout = Laid(model);
  EXPECT_EQ(layout.hasPeriod, c.hasPeriod);
  EXPECT_EQ(model.Message().isEmpty(), !c.readings.empty());
  if (!c.hasPeriod) return;
  EXPECT_EQ(layout.frame.from, At(c.shownFrom));
  EXPECT_EQ(layout.frame.to, At(c.shownTo));
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, PeriodTest,
    ::testing::Values(PeriodCase{"BothSet", 0, 60, {10, 50}, true, 0, 60},
                      PeriodCase{"NeitherSet", std::nullopt, std::nullopt, {10, 50}, true, 10, 50},
                      PeriodCase{"EndNotSet", 0, std::nullopt, {10, 50}, true, 0, 50},
                      PeriodCase{"OneMoment", std::nullopt, std::nullopt, {30}, true, 0, 60},
                      PeriodCase{"NoReadingNoBound", std::nullopt, std::nullopt, {}, false, 0, 0}),
    test::CaseName{});

void ExpectSameColumns(const std::vector<trend::Reduced>& got,
                       const std::vector<trend::Reduced>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t s = 0; s < got.size(); ++s) {
    EXPECT_EQ(got[s].runs, expected[s].runs) << s;
    EXPECT_EQ(got[s].failed, expected[s].failed) << s;
    EXPECT_EQ(got[s].overRange, expected[s].overRange) << s;
  }
}

// Readings that come into a prepared model are in the columns it keeps: those of a detector
// shown (within the axis as it stands, so that only their series is reduced again), a detector
// new to it, and not those of the quantity not shown.
TEST(TrendModel, KeepsTheColumnsOfReadingsAsTheyCome) {
  trend::Model model;
  model.SetPeriod(QDateTime::fromMSecsSinceEpoch(kFrom), QDateTime::fromMSecsSinceEpoch(kTo));
  model.SetSeries(Quantity::kResistance, {{5, {V(10, 4)}}, {3, {V(10, 2)}}});
  Laid(model);
  EXPECT_TRUE(model.Append(Quantity::kResistance, 5, V(40, 3)));
  EXPECT_TRUE(model.Append(Quantity::kResistance, 3, Point::Failed(At(20))));
  EXPECT_FALSE(model.Append(Quantity::kVoltage, 3, V(20, 220)));
  Laid(model);
  ExpectSameColumns(model.reduced(), model.ReduceAll(model.layout()));
  ASSERT_EQ(model.reduced().size(), 2U);
  EXPECT_EQ(model.reduced()[1].runs.size(), 1U);
  EXPECT_EQ(model.reduced()[1].runs[0].size(), 2U);  // 5: 10:10 and 10:40
  EXPECT_TRUE(model.Append(Quantity::kResistance, 9, V(50, 3)));
  Laid(model);
  ExpectSameColumns(model.reduced(), model.ReduceAll(model.layout()));
  ASSERT_EQ(model.Shown().size(), 3U);
  EXPECT_EQ(model.Shown()[2].address, 9);
  // Colours in the order the detectors came.
  EXPECT_EQ(model.ColourOf(3), 0);
  EXPECT_EQ(model.ColourOf(5), 1);
  EXPECT_EQ(model.ColourOf(9), 2);
}

}  // namespace
}  // namespace karvello
