#include "ui/trend_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "present/times.h"

namespace karvello::trend {
namespace {

constexpr qint64 kHalfHourMs = 30 * 60 * 1000;

int IndexOf(Quantity quantity) {
  return quantity == Quantity::kResistance ? 0 : 1;
}

QString Number(double value) {
  return QString::number(value, 'g', 6);
}

}  // namespace

QString Model::SwitchText(Quantity quantity) {
  return quantity == Quantity::kResistance
             ? QStringLiteral("电阻 (%1)").arg(UnitOf(Quantity::kResistance))
             : QStringLiteral("电压 (%1)").arg(UnitOf(Quantity::kVoltage));
}

QString Model::LegendText(int address) {
  return QStringLiteral("地址 %1").arg(address);
}

QString Model::NoRecords() {
  return QStringLiteral("所选时段内没有记录");
}

QString Model::LimitText() const {
  return limit_ ? QStringLiteral("限值 %1 %2").arg(Number(*limit_), UnitOf(Quantity::kResistance))
                : QString();
}

void Model::SetMetrics(TextMetrics metrics) {
  metrics_ = std::move(metrics);
  cache_.valid = false;
}

const std::vector<Series>& Model::series(Quantity quantity) const {
  return series_[IndexOf(quantity)];
}

int Model::ColourOf(int address) const {
  const auto it = colours_.find(address);
  return it == colours_.end() ? 0 : it->second;
}

bool Model::SetSeries(Quantity quantity, std::vector<Series> series) {
  std::vector<Series>& list = series_[IndexOf(quantity)];
  list = Merged(std::move(series));
  for (const Series& s : list) colours_.emplace(s.address, static_cast<int>(colours_.size()));
  if (quantity != quantity_) return false;
  cache_.valid = false;
  return true;
}

bool Model::Append(Quantity quantity, int address, const Point& point) {
  std::vector<Series>& list = series_[IndexOf(quantity)];
  bool added = false;
  const std::size_t at = Insert(list, address, point, &added);
  if (added) colours_.emplace(address, static_cast<int>(colours_.size()));
  if (quantity != quantity_) return false;
  if (added) {
    cache_.valid = false;
  } else if (cache_.valid) {
    cache_.stale[at] = true;
  }
  return true;
}

void Model::SetPeriod(const QDateTime& from, const QDateTime& to) {
  from_ = from;
  to_ = to;
  cache_.valid = false;
}

bool Model::SetLimit(std::optional<double> ohms) {
  limit_ = ohms && std::isfinite(*ohms) ? ohms : std::nullopt;
  if (quantity_ != Quantity::kResistance) return false;
  cache_.valid = false;
  return true;
}

bool Model::SetQuantity(Quantity quantity) {
  if (quantity == quantity_) return false;
  quantity_ = quantity;
  cache_.valid = false;
  return true;
}

Layout Model::LayoutFor(QSizeF size, qreal pixelRatio) const {
  Layout l;
  l.size = size;
  l.pixelRatio = pixelRatio;
  const double line = metrics_.height;
  const double rowHeight = line + 6;

  double x = kMargin;
  for (int i = 0; i < 2; ++i) {
    const double w =
        metrics_.width(SwitchText(i == 0 ? Quantity::kResistance : Quantity::kVoltage)) + 16;
    l.switches[i] = QRectF(x, kMargin, w, rowHeight);
    x += w;
  }
  x += 16;
  const double legendLeft = x;
  double y = kMargin;
  const std::vector<Series>& shown = Shown();
  for (std::size_t s = 0; s < shown.size(); ++s) {
    const double w = 22 + metrics_.width(LegendText(shown[s].address)) + 12;
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
  for (const Series& s : shown) {
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

  // The value axis takes in the readings of the period and the limit.
  ValueSpan span;
  bool overRange = false;
  if (l.hasPeriod) {
    for (const Series& s : shown) {
      const auto [begin, end] = InPeriod(s.points, from, to);
      l.readings += static_cast<std::size_t>(end - begin);
      for (auto it = begin; it != end; ++it) {
        if (HasValue(*it)) span.Take(it->value);
        overRange = overRange || it->kind == Point::Kind::kOverRange;
      }
    }
  }
  const bool limited = quantity_ == Quantity::kResistance && limit_.has_value();
  if (limited && (span.any || l.readings > 0)) span.Take(*limit_);
  const ValueRange range = AxisOf(span);

  QRectF plot;
  plot.setTop(y + rowHeight + 10);
  plot.setBottom(size.height() - kMargin - line - 6);
  l.frame.band = overRange ? kOverRangeBand : 0;
  const int valuePixels = static_cast<int>(plot.height() - l.frame.band);
  // No readings, no values: only the period's time axis is drawn.
  if (l.readings > 0) l.valueTicks = ValueTicks(range.low, range.high, valuePixels);
  double labelWidth = overRange ? metrics_.width(FromView(kOverRangeMark)) : 0;
  for (const ValueTick& tick : l.valueTicks) {
    labelWidth = std::max(labelWidth, metrics_.width(tick.label));
  }
  plot.setLeft(kMargin + labelWidth + 6);
  plot.setRight(size.width() - kMargin - 12);
  l.frame.plot = plot;
  l.frame.low = range.low;
  l.frame.high = range.high;
  if (plot.width() < 1 || valuePixels < 1) l.hasPeriod = false;
  if (l.hasPeriod) {
    l.frame.from = from;
    l.frame.to = to;
    l.columns = std::max(1, static_cast<int>(std::lround(plot.width() * pixelRatio)));
    l.timeTicks = TimeTicks(from, to, static_cast<int>(plot.width()));
  }
  if (limited && l.readings > 0) {
    l.limit = LimitMarkAt(l.frame, *limit_, QSizeF(metrics_.width(LimitText()) + 6, line));
  }
  return l;
}

std::vector<Reduced> Model::ReduceAll(const Layout& layout) const {
  std::vector<Reduced> reduced;
  if (!layout.hasPeriod) return reduced;
  for (const Series& s : Shown()) {
    reduced.push_back(Reduce(s.points, layout.frame.from, layout.frame.to, layout.columns));
  }
  return reduced;
}

void Model::Prepare(QSizeF size, qreal pixelRatio) {
  const Layout layout = LayoutFor(size, pixelRatio);
  const std::size_t n = Shown().size();
  const bool sameColumns = cache_.valid && cache_.reduced.size() == n && layout.hasPeriod &&
                           layout.columns == cache_.layout.columns &&
                           layout.frame.from == cache_.layout.frame.from &&
                           layout.frame.to == cache_.layout.frame.to;
  if (sameColumns) {
    for (std::size_t s = 0; s < n; ++s) {
      if (cache_.stale[s]) {
        cache_.reduced[s] =
            Reduce(Shown()[s].points, layout.frame.from, layout.frame.to, layout.columns);
      }
    }
  } else {
    cache_.reduced = ReduceAll(layout);
  }
  cache_.layout = layout;
  cache_.stale.assign(n, false);
  cache_.valid = true;
}

bool Model::Prepared(QSizeF size, qreal pixelRatio) const {
  return cache_.valid && cache_.layout.size == size && cache_.layout.pixelRatio == pixelRatio;
}

bool Model::Serves(const Layout& layout) const {
  return cache_.valid && layout.size == cache_.layout.size &&
         layout.pixelRatio == cache_.layout.pixelRatio &&
         std::none_of(cache_.stale.begin(), cache_.stale.end(), [](bool b) { return b; });
}

std::optional<Hit> Model::HitAt(QPointF at) const {
  if (!cache_.valid || !cache_.layout.hasPeriod) return std::nullopt;
  const QRectF reach = cache_.layout.frame.plot.adjusted(-kHoverRadius, -kHoverRadius,
                                                         kHoverRadius, kHoverRadius);
  if (!reach.contains(at)) return std::nullopt;
  return Nearest(Shown(), cache_.layout.frame, at);
}

QString Model::ToolTip(const Hit& hit) const {
  const Series& s = Shown()[hit.series];
  const Point& point = s.points[hit.point];
  QString value;
  switch (point.kind) {
    case Point::Kind::kValue:
      value = QStringLiteral("%1 %2").arg(Number(point.value), UnitOf(quantity_));
      break;
    case Point::Kind::kOverRange:
      value = QStringLiteral("%1（超出量程）").arg(FromView(kOverRangeMark));
      break;
    case Point::Kind::kFailed:
      value = QStringLiteral("读数失败");
      break;
  }
  return QStringLiteral("%1\n%2\n%3")
      .arg(LegendText(s.address),
           DisplayTime(QDateTime::fromMSecsSinceEpoch(point.ms)),
           value);
}

std::optional<Quantity> Model::SwitchAt(QPointF at) const {
  if (cache_.layout.switches[0].contains(at)) return Quantity::kResistance;
  if (cache_.layout.switches[1].contains(at)) return Quantity::kVoltage;
  return std::nullopt;
}

QString Model::Message() const {
  return cache_.layout.readings == 0 ? NoRecords() : QString();
}

}  // namespace karvello::trend
