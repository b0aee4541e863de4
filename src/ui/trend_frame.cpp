#include "ui/trend_frame.h"

#include <algorithm>
#include <cmath>

namespace karvello::trend {

void ValueSpan::Take(double v) {
  lo = any ? std::min(lo, v) : v;
  hi = any ? std::max(hi, v) : v;
  any = true;
}

ValueRange AxisOf(const ValueSpan& span) {
  if (!span.any) return {};
  const double width = span.hi - span.lo;
  const double pad = width > 1e-9 * std::max(1.0, std::abs(span.hi))
                         ? width * 0.05
                         : std::max(1e-3, std::abs(span.hi) * 0.1);
  ValueRange range{span.lo - pad, span.hi + pad};
  if (span.lo >= 0 && range.low < 0) range.low = 0;  // no negative resistances or voltages
  return range;
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

LimitMark LimitMarkAt(const Frame& frame, double limit, QSizeF labelSize) {
  LimitMark mark;
  mark.y = frame.Y(limit);
  const double h = labelSize.height();
  double top = mark.y - h - 2;
  if (top < frame.plot.top()) top = mark.y + 2;  // the line at the top: its label below it
  mark.label = QRectF(frame.plot.right() - 4 - labelSize.width(), top, labelSize.width(), h);
  return mark;
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

}  // namespace karvello::trend
