#include "ui/trend_ticks.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace karvello::trend {
namespace {

enum class Unit { kSecond, kDay, kMonth, kYear };
struct Step {
  Unit unit;
  int count;
};
// Seconds steps divide a day, so that they fall on the same times every day.
constexpr Step kSteps[] = {
    {Unit::kSecond, 1},     {Unit::kSecond, 2},    {Unit::kSecond, 5},     {Unit::kSecond, 10},
    {Unit::kSecond, 15},    {Unit::kSecond, 30},   {Unit::kSecond, 60},    {Unit::kSecond, 120},
    {Unit::kSecond, 300},   {Unit::kSecond, 600},  {Unit::kSecond, 900},   {Unit::kSecond, 1800},
    {Unit::kSecond, 3600},  {Unit::kSecond, 7200}, {Unit::kSecond, 10800}, {Unit::kSecond, 21600},
    {Unit::kSecond, 43200}, {Unit::kDay, 1},       {Unit::kDay, 2},        {Unit::kDay, 5},
    {Unit::kDay, 10},       {Unit::kMonth, 1},     {Unit::kMonth, 2},      {Unit::kMonth, 3},
    {Unit::kMonth, 6},
};
constexpr double kDayMs = 86'400'000.0;

// The shortest a step can be (a month of 28 days), so that no two ticks stand closer than the
// spacing asked for.
double ShortestMs(Step step) {
  switch (step.unit) {
    case Unit::kSecond:
      return step.count * 1000.0;
    case Unit::kDay:
      return step.count * kDayMs;
    case Unit::kMonth:
      return step.count * 28 * kDayMs;
    case Unit::kYear:
      return step.count * 365 * kDayMs;
  }
  return 0;
}

Step StepFor(qint64 span, int pixelWidth) {
  const double least = static_cast<double>(span) * kMinTimeTickSpacing / pixelWidth;
  for (const Step step : kSteps) {
    if (ShortestMs(step) >= least) return step;
  }
  for (int years = 1; years < 100'000'000; years *= 10) {
    for (const int m : {1, 2, 5}) {
      if (ShortestMs({Unit::kYear, years * m}) >= least) return {Unit::kYear, years * m};
    }
  }
  return {Unit::kYear, 100'000'000};
}

QString DayLabel(QDate day) {
  return QStringLiteral("%1月%2日").arg(day.month()).arg(day.day());
}

class TickList {
 public:
  TickList(qint64 from, qint64 to) : from_(from), to_(to) {}
  // False once `when` is past the end.
  bool Add(const QDateTime& when, const QString& label) {
    const qint64 ms = when.toMSecsSinceEpoch();
    if (ms > to_) return false;
    // A clock set back (daylight saving's end) gives a time twice: keep the first.
    if (ms >= from_ && (ticks_.empty() || ms > ticks_.back().ms)) ticks_.push_back({ms, label});
    return true;
  }
  std::vector<TimeTick> Take() { return std::move(ticks_); }

 private:
  qint64 from_, to_;
  std::vector<TimeTick> ticks_;
};

}  // namespace

std::vector<TimeTick> TimeTicks(qint64 from, qint64 to, int pixelWidth) {
  if (to <= from || pixelWidth <= 0) return {};
  const Step step = StepFor(to - from, pixelWidth);
  const QDateTime start = QDateTime::fromMSecsSinceEpoch(from);
  TickList ticks(from, to);
  const int n = step.count;
  switch (step.unit) {
    case Unit::kSecond: {
      QDate day = start.date();
      const int msOfDay = start.time().msecsSinceStartOfDay();
      int k = static_cast<int>(std::ceil(msOfDay / (n * 1000.0)));
      for (;; ++k) {
        if (k * n >= 86'400) {
          day = day.addDays(1);
          k = 0;
        }
        const QTime time = QTime::fromMSecsSinceStartOfDay(k * n * 1000);
        const QString label =
            k == 0 ? DayLabel(day)
                   : time.toString(n < 60 ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm"));
        if (!ticks.Add(QDateTime(day, time), label)) break;
      }
      break;
    }
    case Unit::kDay:
      // Counted from the first of each month, so that every month starts with a tick; a day
      // that would stand closer than a step to the next month's first gets none.
      for (QDate day = start.date();; day = day.addDays(1)) {
        const bool due =
            (day.day() - 1) % n == 0 && (n == 1 || day.daysInMonth() + 1 - day.day() >= n);
        if (!due) {
          if (QDateTime(day, QTime(0, 0)).toMSecsSinceEpoch() > to) break;
          continue;
        }
        if (!ticks.Add(QDateTime(day, QTime(0, 0)), DayLabel(day))) break;
      }
      break;
    case Unit::kMonth:
      for (QDate month(start.date().year(), start.date().month(), 1);; month = month.addMonths(1)) {
        if ((month.month() - 1) % n != 0) continue;
        const QString label = month.month() == 1 ? QStringLiteral("%1年1月").arg(month.year())
                                                 : QStringLiteral("%1月").arg(month.month());
        if (!ticks.Add(QDateTime(month, QTime(0, 0)), label)) break;
      }
      break;
    case Unit::kYear: {
      const int first = start.date().year();
      for (int year = (first / n) * n;; year += n) {
        if (!ticks.Add(QDateTime(QDate(year, 1, 1), QTime(0, 0)), QStringLiteral("%1年").arg(year)))
          break;
      }
      break;
    }
  }
  return ticks.Take();
}

std::vector<ValueTick> ValueTicks(double min, double max, int pixels) {
  if (!std::isfinite(min) || !std::isfinite(max) || !(max > min) || pixels <= 0) return {};
  const double least = (max - min) * kMinValueTickSpacing / pixels;
  const double magnitude = std::pow(10.0, std::floor(std::log10(least)));
  double step = 10 * magnitude;  // where log10 rounded down a whole power of ten
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * magnitude >= least * (1 - 1e-9)) {
      step = m * magnitude;
      break;
    }
  }
  const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
  const double slack = step * 1e-9;
  std::vector<ValueTick> ticks;
  for (double i = std::ceil((min - slack) / step); i * step <= max + slack; ++i) {
    const double value = i * step;
    ticks.push_back({value, QString::number(value, 'f', decimals)});
  }
  return ticks;
}

}  // namespace karvello::trend
