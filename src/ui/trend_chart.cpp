#include "ui/trend_chart.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QToolTip>
#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "engine/operations.h"
#include "record/record.h"
#include "ui/song_font.h"

namespace karvello {
namespace trend {
namespace {

QString FromView(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool ByTime(const Point& a, const Point& b) {
  return a.ms < b.ms;
}

// The readings of `points` (in time order) from `from` to `to`, both included.
std::pair<std::vector<Point>::const_iterator, std::vector<Point>::const_iterator> InPeriod(
    const std::vector<Point>& points, qint64 from, qint64 to) {
  const auto begin = std::lower_bound(points.begin(), points.end(), Point::Failed(from), ByTime);
  const auto end = std::upper_bound(begin, points.end(), Point::Failed(to), ByTime);
  return {begin, end};
}

bool HasValue(const Point& point) {
  return point.kind == Point::Kind::kValue && std::isfinite(point.value);
}

// --- Time ticks

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

QString UnitOf(Quantity quantity) {
  return FromView(FormOf(quantity).unit);
}

std::vector<Series> SeriesOf(const std::vector<RecordRow>& rows, Quantity quantity) {
  const auto measures = [quantity](const std::string& name) {
    const std::optional<Operation> operation = OperationNamed(name);
    return operation && Describe(*operation).quantity == quantity;
  };
  std::map<int, Series> byAddress;
  for (const RecordRow& row : rows) {
    if (row.again || !row.time.isValid() || !measures(row.operation) ||
        row.result == ResultName(Result::kNotSent)) {
      continue;
    }
    const qint64 ms = row.time.toMSecsSinceEpoch();
    Point point = Point::Failed(ms);
    if (row.result == ResultName(Result::kAnswered)) {
      bool number = false;
      const double value = QString::fromStdString(row.value).toDouble(&number);
      if (row.value == kOverRangeMark) {
        point = Point::OverRange(ms);
      } else if (number && std::isfinite(value)) {
        point = Point::Value(ms, value);
      }
    }
    Series& series = byAddress[row.address];
    series.address = row.address;
    series.points.push_back(point);
  }
  std::vector<Series> result;
  for (auto& [address, series] : byAddress) {
    std::stable_sort(series.points.begin(), series.points.end(), ByTime);
    result.push_back(std::move(series));
  }
  return result;
}

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

Reduced Reduce(const std::vector<Point>& points, qint64 from, qint64 to, int columns) {
  Reduced out;
  if (columns <= 0 || to <= from) return out;
  const double perMs = static_cast<double>(columns) / static_cast<double>(to - from);
  bool inRun = false;
  const auto [begin, end] = InPeriod(points, from, to);
  for (auto it = begin; it != end; ++it) {
    const int index =
        std::min(columns - 1, static_cast<int>(static_cast<double>(it->ms - from) * perMs));
    if (HasValue(*it)) {
      const double v = it->value;
      if (!inRun) out.runs.emplace_back();
      inRun = true;
      std::vector<Column>& run = out.runs.back();
      if (run.empty() || run.back().index != index) {
        run.push_back({index, v, v});
      } else {
        Column& column = run.back();
        column.min = std::min(column.min, v);
        column.max = std::max(column.max, v);
      }
      ++out.values;
      continue;
    }
    inRun = false;
    std::vector<int>& marks = it->kind == Point::Kind::kOverRange ? out.overRange : out.failed;
    if (marks.empty() || marks.back() != index) marks.push_back(index);
  }
  return out;
}

bool MarksPoints(std::size_t values, double plotWidth) {
  return static_cast<double>(values) * kPixelsPerMarker <= plotWidth;
}

double Frame::X(qint64 ms) const {
  return plot.left() +
         static_cast<double>(ms - from) * plot.width() / static_cast<double>(to - from);
}

double Frame::ColumnX(int column, int columns) const {
  return plot.left() + (column + 0.5) * plot.width() / columns;
}

double Frame::Y(double value) const {
  return plot.bottom() - (value - low) / (high - low) * (plot.height() - band);
}

QPointF Frame::At(const Point& point) const {
  switch (point.kind) {
    case Point::Kind::kValue:
      return {X(point.ms), Y(point.value)};
    case Point::Kind::kOverRange:
      return {X(point.ms), OverRangeY()};
    case Point::Kind::kFailed:
      break;
  }
  return {X(point.ms), FailedY()};
}

std::optional<Hit> Nearest(const std::vector<Series>& series, const Frame& frame, QPointF at,
                           double radius) {
  if (frame.to <= frame.from || frame.plot.width() <= 0) return std::nullopt;
  const double msPerPixel = static_cast<double>(frame.to - frame.from) / frame.plot.width();
  const double t = static_cast<double>(frame.from) + (at.x() - frame.plot.left()) * msPerPixel;
  const double lo = std::max(static_cast<double>(frame.from), std::floor(t - radius * msPerPixel));
  const double hi = std::min(static_cast<double>(frame.to), std::ceil(t + radius * msPerPixel));
  if (lo > hi) return std::nullopt;
  std::optional<Hit> hit;
  double best = radius * radius;
  for (std::size_t s = 0; s < series.size(); ++s) {
    const std::vector<Point>& points = series[s].points;
    const auto [begin, end] = InPeriod(points, static_cast<qint64>(lo), static_cast<qint64>(hi));
    for (auto it = begin; it != end; ++it) {
      if (it->kind == Point::Kind::kValue && !HasValue(*it)) continue;
      const QPointF d = frame.At(*it) - at;
      const double d2 = d.x() * d.x() + d.y() * d.y();
      if (d2 < best || (!hit && d2 <= best)) {
        best = d2;
        hit = Hit{s, static_cast<std::size_t>(it - points.begin())};
      }
    }
  }
  return hit;
}

}  // namespace trend

namespace {

using trend::Point;
using trend::Quantity;

constexpr double kMargin = 8;
constexpr qint64 kHalfHourMs = 30 * 60 * 1000;

int IndexOf(Quantity quantity) {
  return quantity == Quantity::kResistance ? 0 : 1;
}

QString SwitchText(int index) {
  return index == 0 ? QStringLiteral("电阻 (%1)").arg(trend::UnitOf(Quantity::kResistance))
                    : QStringLiteral("电压 (%1)").arg(trend::UnitOf(Quantity::kVoltage));
}

QString LegendText(int address) {
  return QStringLiteral("地址 %1").arg(address);
}

QString Number(double value) {
  return QString::number(value, 'g', 6);
}

QString NoRecords() {
  return QStringLiteral("所选时段内没有记录");
}

// Tableau's ten colours: told apart also by most colour-blind eyes.
const QColor kColours[] = {{31, 119, 180},  {255, 127, 14}, {44, 160, 44},   {214, 39, 40},
                           {148, 103, 189}, {140, 86, 75},  {227, 119, 194}, {127, 127, 127},
                           {188, 189, 34},  {23, 190, 207}};
const QColor kLimitColour(198, 40, 40);
const QColor kGridColour(228, 228, 228);
const QColor kFrameColour(160, 160, 160);
const QColor kTextColour(40, 40, 40);

struct ValueSpan {
  double lo = 0, hi = 0;
  bool any = false;
  void Take(double v) {
    lo = any ? std::min(lo, v) : v;
    hi = any ? std::max(hi, v) : v;
    any = true;
  }
};

}  // namespace

TrendChart::TrendChart(QWidget* parent) : QWidget(parent) {
  setFont(SongFont(10, false));
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(320, 180);
}

TrendChart::~TrendChart() = default;

const std::vector<trend::Series>& TrendChart::series(Quantity quantity) const {
  return series_[IndexOf(quantity)];
}

const std::vector<trend::Series>& TrendChart::Shown() const {
  return series(quantity_);
}

void TrendChart::Remember(const std::vector<trend::Series>& series) {
  for (const trend::Series& s : series) {
    colours_.emplace(s.address, static_cast<int>(colours_.size()));
  }
}

QColor TrendChart::ColourOf(int address) const {
  const auto it = colours_.find(address);
  const int n = it == colours_.end() ? 0 : it->second;
  if (n < static_cast<int>(std::size(kColours))) return kColours[n];
  return QColor::fromHsv((n * 47) % 360, 200, 190);
}

void TrendChart::SetSeries(Quantity quantity, std::vector<trend::Series> series) {
  // One series per detector, in order of address.
  std::map<int, trend::Series> byAddress;
  for (trend::Series& s : series) {
    trend::Series& into = byAddress[s.address];
    into.address = s.address;
    if (into.points.empty()) {
      into.points = std::move(s.points);
    } else {
      into.points.insert(into.points.end(), s.points.begin(), s.points.end());
    }
  }
  std::vector<trend::Series>& list = series_[IndexOf(quantity)];
  list.clear();
  for (auto& [address, s] : byAddress) {
    if (!std::is_sorted(s.points.begin(), s.points.end(), trend::ByTime)) {
      std::stable_sort(s.points.begin(), s.points.end(), trend::ByTime);
    }
    list.push_back(std::move(s));
  }
  Remember(list);
  if (quantity == quantity_) Invalidate();
}

void TrendChart::Append(Quantity quantity, int address, Point point) {
  std::vector<trend::Series>& list = series_[IndexOf(quantity)];
  auto it = std::lower_bound(list.begin(), list.end(), address,
                             [](const trend::Series& s, int a) { return s.address < a; });
  const bool added = it == list.end() || it->address != address;
  if (added) {
    it = list.insert(it, trend::Series{address, {}});
    colours_.emplace(address, static_cast<int>(colours_.size()));
  }
  std::vector<Point>& points = it->points;
  points.insert(std::upper_bound(points.begin(), points.end(), point, trend::ByTime), point);
  if (quantity != quantity_) return;
  hover_.reset();
  if (added) {
    cache_.valid = false;
  } else if (cache_.valid) {
    cache_.stale[static_cast<std::size_t>(it - list.begin())] = true;
  }
  Prepare();
  update();
}

void TrendChart::SetPeriod(const QDateTime& from, const QDateTime& to) {
  from_ = from;
  to_ = to;
  Invalidate();
}

void TrendChart::SetLimit(std::optional<double> ohms) {
  limit_ = ohms && std::isfinite(*ohms) ? ohms : std::nullopt;
  if (quantity_ == Quantity::kResistance) Invalidate();
}

void TrendChart::SetQuantity(Quantity quantity) {
  if (quantity == quantity_) return;
  quantity_ = quantity;
  Invalidate();
  emit quantityChanged(quantity);
}

void TrendChart::Invalidate() {
  cache_.valid = false;
  hover_.reset();
  Prepare();
  update();
}

QString TrendChart::Message() const {
  return cache_.layout.readings == 0 ? NoRecords() : QString();
}

TrendChart::Layout TrendChart::LayoutFor(QSizeF size, qreal pixelRatio) const {
  Layout l;
  l.size = size;
  l.pixelRatio = pixelRatio;
  const QFontMetricsF fm(font());
  const double line = fm.height();
  const double rowHeight = line + 6;

  double x = kMargin;
  for (int i = 0; i < 2; ++i) {
    const double w = fm.horizontalAdvance(SwitchText(i)) + 16;
    l.switches[i] = QRectF(x, kMargin, w, rowHeight);
    x += w;
  }
  x += 16;
  const double legendLeft = x;
  double y = kMargin;
  const std::vector<trend::Series>& shown = Shown();
  for (std::size_t s = 0; s < shown.size(); ++s) {
    const double w = 22 + fm.horizontalAdvance(LegendText(shown[s].address)) + 12;
    if (x + w > size.width() - kMargin && x > legendLeft) {
      x = legendLeft;
      y += rowHeight;
    }
    l.legend.push_back({QRectF(x, y, w, rowHeight), s});
    x += w;
  }

  // The period: a bound not set is that of the readings.
  bool haveFrom = from_.isValid(), haveTo = to_.isValid();
  qint64 from = haveFrom ? from_.toMSecsSinceEpoch() : 0;
  qint64 to = haveTo ? to_.toMSecsSinceEpoch() : 0;
  for (const trend::Series& s : shown) {
    if (s.points.empty()) continue;
    if (!from_.isValid())
      from = haveFrom ? std::min(from, s.points.front().ms) : s.points.front().ms;
    if (!to_.isValid()) to = haveTo ? std::max(to, s.points.back().ms) : s.points.back().ms;
    haveFrom = haveTo = true;
  }
  if (haveFrom && haveTo && from == to) {  // one moment: an hour around it
    from -= kHalfHourMs;
    to += kHalfHourMs;
  }
  l.hasPeriod = haveFrom && haveTo && from < to;

  ValueSpan span;
  bool overRange = false;
  if (l.hasPeriod) {
    for (const trend::Series& s : shown) {
      const auto [begin, end] = trend::InPeriod(s.points, from, to);
      l.readings += static_cast<std::size_t>(end - begin);
      for (auto it = begin; it != end; ++it) {
        if (trend::HasValue(*it)) span.Take(it->value);
        overRange = overRange || it->kind == Point::Kind::kOverRange;
      }
    }
  }
  if (quantity_ == Quantity::kResistance && limit_ && (span.any || l.readings > 0)) {
    span.Take(*limit_);
  }
  double low = 0, high = 1;
  if (span.any) {
    const double width = span.hi - span.lo;
    const double pad = width > 1e-9 * std::max(1.0, std::abs(span.hi))
                           ? width * 0.05
                           : std::max(1e-3, std::abs(span.hi) * 0.1);
    low = span.lo - pad;
    high = span.hi + pad;
    if (span.lo >= 0 && low < 0) low = 0;  // no negative resistances or voltages on the axis
  }

  QRectF plot;
  plot.setTop(y + rowHeight + 10);
  plot.setBottom(size.height() - kMargin - line - 6);
  l.frame.band = overRange ? trend::kOverRangeBand : 0;
  const int valuePixels = static_cast<int>(plot.height() - l.frame.band);
  // No readings, no values: only the period's time axis is drawn.
  if (l.readings > 0) l.valueTicks = trend::ValueTicks(low, high, valuePixels);
  double labelWidth = overRange ? fm.horizontalAdvance(trend::FromView(kOverRangeMark)) : 0;
  for (const trend::ValueTick& tick : l.valueTicks) {
    labelWidth = std::max(labelWidth, fm.horizontalAdvance(tick.label));
  }
  plot.setLeft(kMargin + labelWidth + 6);
  plot.setRight(size.width() - kMargin - 12);
  l.frame.plot = plot;
  l.frame.low = low;
  l.frame.high = high;
  if (plot.width() < 1 || valuePixels < 1) l.hasPeriod = false;
  if (l.hasPeriod) {
    l.frame.from = from;
    l.frame.to = to;
    l.columns = std::max(1, static_cast<int>(std::lround(plot.width() * pixelRatio)));
    l.timeTicks = trend::TimeTicks(from, to, static_cast<int>(plot.width()));
  }
  return l;
}

std::vector<trend::Reduced> TrendChart::ReduceAll(const Layout& layout) const {
  std::vector<trend::Reduced> reduced;
  if (!layout.hasPeriod) return reduced;
  for (const trend::Series& s : Shown()) {
    reduced.push_back(trend::Reduce(s.points, layout.frame.from, layout.frame.to, layout.columns));
  }
  return reduced;
}

void TrendChart::Prepare() {
  const Layout layout = LayoutFor(QSizeF(size()), devicePixelRatioF());
  const std::size_t n = Shown().size();
  const bool sameColumns = cache_.valid && cache_.reduced.size() == n && layout.hasPeriod &&
                           layout.columns == cache_.layout.columns &&
                           layout.frame.from == cache_.layout.frame.from &&
                           layout.frame.to == cache_.layout.frame.to;
  if (sameColumns) {
    for (std::size_t s = 0; s < n; ++s) {
      if (cache_.stale[s]) {
        cache_.reduced[s] =
            trend::Reduce(Shown()[s].points, layout.frame.from, layout.frame.to, layout.columns);
      }
    }
  } else {
    cache_.reduced = ReduceAll(layout);
  }
  cache_.layout = layout;
  cache_.stale.assign(n, false);
  cache_.valid = true;
}

void TrendChart::Render(QPainter& painter, QSizeF size, qreal pixelRatio) const {
  const Layout layout = LayoutFor(size, pixelRatio);
  const bool cached =
      cache_.valid && layout.size == cache_.layout.size &&
      layout.pixelRatio == cache_.layout.pixelRatio &&
      std::none_of(cache_.stale.begin(), cache_.stale.end(), [](bool b) { return b; });
  PaintWith(painter, layout, cached ? cache_.reduced : ReduceAll(layout), std::nullopt);
}

void TrendChart::PaintWith(QPainter& painter, const Layout& layout,
                           const std::vector<trend::Reduced>& reduced,
                           const std::optional<trend::Hit>& hover) const {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setFont(font());
  const QFontMetricsF fm(font());
  painter.fillRect(QRectF(QPointF(0, 0), layout.size), Qt::white);

  // The switch of the quantity.
  for (int i = 0; i < 2; ++i) {
    const bool on = i == IndexOf(quantity_);
    painter.setPen(kFrameColour);
    painter.setBrush(on ? QColor(47, 111, 183) : QColor(240, 240, 240));
    painter.drawRect(layout.switches[i].adjusted(0.5, 0.5, -0.5, -0.5));
    painter.setPen(on ? Qt::white : kTextColour);
    painter.drawText(layout.switches[i], Qt::AlignCenter, SwitchText(i));
  }

  // The legend.
  const std::vector<trend::Series>& shown = Shown();
  for (const LegendItem& item : layout.legend) {
    const QColor colour = ColourOf(shown[item.series].address);
    const double cy = item.rect.center().y();
    painter.setPen(QPen(colour, 2));
    painter.drawLine(QPointF(item.rect.left() + 2, cy), QPointF(item.rect.left() + 18, cy));
    painter.setBrush(colour);
    painter.drawEllipse(QPointF(item.rect.left() + 10, cy), 2.5, 2.5);
    painter.setPen(kTextColour);
    painter.drawText(item.rect.adjusted(22, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     LegendText(shown[item.series].address));
  }

  const trend::Frame& f = layout.frame;
  const QRectF plot = f.plot;
  if (!plot.isValid()) {
    painter.restore();
    return;
  }
  if (layout.hasPeriod) {
    // The band of the over-range readings, and the grid with its labels.
    if (f.band > 0) {
      painter.fillRect(QRectF(plot.left(), plot.top(), plot.width(), f.band),
                       QColor(248, 240, 240));
      painter.setPen(kTextColour);
      painter.drawText(QRectF(0, plot.top(), plot.left() - 6, f.band),
                       Qt::AlignRight | Qt::AlignVCenter, trend::FromView(kOverRangeMark));
    }
    for (const trend::ValueTick& tick : layout.valueTicks) {
      const double y = f.Y(tick.value);
      painter.setPen(QPen(kGridColour, 1));
      painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
      painter.setPen(kTextColour);
      painter.drawText(QRectF(0, y - fm.height() / 2, plot.left() - 6, fm.height()),
                       Qt::AlignRight | Qt::AlignVCenter, tick.label);
    }
    for (const trend::TimeTick& tick : layout.timeTicks) {
      const double x = f.X(tick.ms);
      painter.setPen(QPen(kGridColour, 1));
      painter.drawLine(QPointF(x, plot.top() + f.band), QPointF(x, plot.bottom()));
      painter.setPen(kFrameColour);
      painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() + 4));
      const double w = fm.horizontalAdvance(tick.label);
      const double left = std::clamp(x - w / 2, 0.0, layout.size.width() - w);
      painter.setPen(kTextColour);
      painter.drawText(QRectF(left, plot.bottom() + 5, w + 1, fm.height()),
                       Qt::AlignLeft | Qt::AlignTop, tick.label);
    }
  }
  painter.setPen(kFrameColour);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(plot);

  if (layout.readings == 0) {
    painter.setPen(QColor(120, 120, 120));
    painter.drawText(plot, Qt::AlignCenter, NoRecords());
    painter.restore();
    return;
  }

  QRectF limitLabel;
  QString limitText;
  if (quantity_ == Quantity::kResistance && limit_) {
    const double y = f.Y(*limit_);
    QPen pen(kLimitColour, 1.5, Qt::DashLine);
    painter.setPen(pen);
    painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    const QString label =
        QStringLiteral("限值 %1 %2").arg(Number(*limit_), trend::UnitOf(Quantity::kResistance));
    // On white, so that it reads above the lines that cross it; drawn after them.
    const double w = fm.horizontalAdvance(label) + 6;
    limitLabel = QRectF(plot.right() - 4 - w, y - fm.height() - 2, w, fm.height());
    limitText = label;
  }

  painter.setClipRect(plot.adjusted(-6, -1, 6, 1));
  const bool marked = std::all_of(reduced.begin(), reduced.end(), [&](const trend::Reduced& r) {
    return trend::MarksPoints(r.values, plot.width());
  });
  QPolygonF line;
  std::vector<QLineF> crosses;
  for (std::size_t s = 0; s < reduced.size() && s < shown.size(); ++s) {
    const trend::Reduced& r = reduced[s];
    const QColor colour = ColourOf(shown[s].address);
    // A series denser than the pixels is drawn one device pixel wide and without smoothing: its
    // line is columns' upright strokes on pixel centres joined by one-pixel steps, which
    // smoothing would only blur, and the raster engine draws such a pen without its stroker.
    const bool dense = r.values > static_cast<std::size_t>(layout.columns);
    QPen pen(colour, dense ? 1 : 1.5, Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin);
    pen.setCosmetic(dense);
    painter.setPen(pen);
    painter.setRenderHint(QPainter::Antialiasing, !dense);
    painter.setBrush(colour);
    for (const std::vector<trend::Column>& run : r.runs) {
      line.clear();
      for (const trend::Column& c : run) {
        // The column's extreme nearer the line so far first, so that it goes on without
        // doubling back.
        const double x = f.ColumnX(c.index, layout.columns);
        const double low = f.Y(c.min), high = f.Y(c.max);
        const bool lowFirst =
            line.isEmpty() || std::abs(line.back().y() - low) <= std::abs(line.back().y() - high);
        line << QPointF(x, lowFirst ? low : high);
        if (low != high) line << QPointF(x, lowFirst ? high : low);
      }
      if (line.size() == 1) {
        painter.drawEllipse(line.front(), 2, 2);  // a reading alone between two failed ones
      } else {
        painter.drawPolyline(line);
      }
      if (!marked) continue;
      for (const trend::Column& c : run) {
        const double x = f.ColumnX(c.index, layout.columns);
        painter.drawEllipse(QPointF(x, f.Y(c.min)), 2.5, 2.5);
        if (c.max != c.min) painter.drawEllipse(QPointF(x, f.Y(c.max)), 2.5, 2.5);
      }
    }
    const double top = f.OverRangeY();
    for (const int column : r.overRange) {
      const double x = f.ColumnX(column, layout.columns);
      const QPointF triangle[] = {{x, top - 5}, {x - 5, top + 4}, {x + 5, top + 4}};
      painter.setPen(Qt::NoPen);
      painter.drawPolygon(triangle, 3);
    }
    painter.setPen(pen);
    const double bottom = f.FailedY();
    crosses.clear();
    for (const int column : r.failed) {
      const double x = f.ColumnX(column, layout.columns);
      crosses.emplace_back(QPointF(x - 3, bottom - 3), QPointF(x + 3, bottom + 3));
      crosses.emplace_back(QPointF(x - 3, bottom + 3), QPointF(x + 3, bottom - 3));
    }
    painter.drawLines(crosses.data(), static_cast<int>(crosses.size()));
  }

  if (!limitText.isEmpty()) {
    painter.setPen(kLimitColour);
    painter.setBrush(QColor(255, 255, 255, 220));
    painter.drawRect(limitLabel);
    painter.drawText(limitLabel, Qt::AlignCenter, limitText);
  }
  if (hover && hover->series < shown.size() && hover->point < shown[hover->series].points.size()) {
    const QPointF at = f.At(shown[hover->series].points[hover->point]);
    painter.setPen(QPen(ColourOf(shown[hover->series].address), 2));
    painter.setBrush(Qt::white);
    painter.drawEllipse(at, 4.5, 4.5);
  }
  painter.restore();
}

void TrendChart::paintEvent(QPaintEvent*) {
  // Reduced already when the data or the size changed; only a changed screen is done here.
  if (!cache_.valid || cache_.layout.size != QSizeF(size()) ||
      cache_.layout.pixelRatio != devicePixelRatioF()) {
    Prepare();
  }
  QPainter painter(this);
  PaintWith(painter, cache_.layout, cache_.reduced, hover_);
}

void TrendChart::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Rendering a hidden widget sends it its size again: reduced again only if the columns change.
  if (event->size() != event->oldSize()) hover_.reset();
  Prepare();
}

void TrendChart::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) Invalidate();
}

std::optional<trend::Hit> TrendChart::HitAt(QPointF at) const {
  if (!cache_.valid || !cache_.layout.hasPeriod) return std::nullopt;
  const QRectF reach = cache_.layout.frame.plot.adjusted(-trend::kHoverRadius, -trend::kHoverRadius,
                                                         trend::kHoverRadius, trend::kHoverRadius);
  if (!reach.contains(at)) return std::nullopt;
  return trend::Nearest(Shown(), cache_.layout.frame, at);
}

QString TrendChart::ToolTipAt(QPoint at) const {
  const std::optional<trend::Hit> hit = HitAt(QPointF(at));
  if (!hit) return {};
  const trend::Series& s = Shown()[hit->series];
  const Point& point = s.points[hit->point];
  QString value;
  switch (point.kind) {
    case Point::Kind::kValue:
      value = QStringLiteral("%1 %2").arg(Number(point.value), trend::UnitOf(quantity_));
      break;
    case Point::Kind::kOverRange:
      value = QStringLiteral("%1（超出量程）").arg(trend::FromView(kOverRangeMark));
      break;
    case Point::Kind::kFailed:
      value = QStringLiteral("读数失败");
      break;
  }
  return QStringLiteral("%1\n%2\n%3")
      .arg(LegendText(s.address),
           QDateTime::fromMSecsSinceEpoch(point.ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
           value);
}

void TrendChart::mouseMoveEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  const std::optional<trend::Hit> hit = HitAt(at);
  if (hit != hover_) {
    hover_ = hit;
    update();
  }
  if (hit) {
    QToolTip::showText(event->globalPosition().toPoint(), ToolTipAt(at.toPoint()), this);
  } else {
    QToolTip::hideText();
  }
  const bool onSwitch =
      cache_.layout.switches[0].contains(at) || cache_.layout.switches[1].contains(at);
  setCursor(onSwitch ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void TrendChart::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  for (int i = 0; i < 2; ++i) {
    if (cache_.layout.switches[i].contains(event->position())) {
      SetQuantity(i == 0 ? Quantity::kResistance : Quantity::kVoltage);
      return;
    }
  }
}

void TrendChart::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  if (hover_) {
    hover_.reset();
    update();
  }
}

bool TrendChart::ExportPng(const QString& path, QSize size) {
  exportError_.clear();
  if (size.width() < 1 || size.height() < 1 || size.width() > kMaxExportSide ||
      size.height() > kMaxExportSide) {
    exportError_ = QStringLiteral("图片尺寸无效：%1 × %2").arg(size.width()).arg(size.height());
    return false;
  }
  // No smaller than on screen: the picture on screen, scaled up as a whole.
  qreal ratio = 1;
  QSizeF logical(size);
  if (width() > 0 && height() > 0 && size.width() >= width() && size.height() >= height()) {
    ratio = std::min(static_cast<qreal>(size.width()) / width(),
                     static_cast<qreal>(size.height()) / height());
    logical = QSizeF(size) / ratio;
  }
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  if (image.isNull()) {
    exportError_ = QStringLiteral("内存不足，无法生成图片");
    return false;
  }
  image.setDevicePixelRatio(ratio);
  {
    QPainter painter(&image);
    Render(painter, logical, ratio);
  }
  // Encoded in memory first: a write that fails half way through the encoder (a full disk)
  // then fails in QSaveFile, where it is reported, and never inside libpng.
  QByteArray png;
  {
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
      exportError_ = QStringLiteral("PNG 编码失败");
      return false;
    }
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    exportError_ = file.errorString();
    return false;
  }
  if (file.write(png) != png.size()) {
    exportError_ = file.errorString();
    file.cancelWriting();
    return false;
  }
  if (!file.commit()) {
    exportError_ = file.errorString();
    return false;
  }
  return true;
}

}  // namespace karvello
