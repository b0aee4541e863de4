#pragma once
// Where the trend chart draws: its value axis' range, a reading's place in the plot, the limit
// line's, and the reading under the pointer. Qt Core only.

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QtGlobal>
#include <cstddef>
#include <optional>
#include <vector>

#include "ui/trend_series.h"

namespace karvello::trend {

// The values to be taken in by the value axis.
struct ValueSpan {
  double lo = 0, hi = 0;
  bool any = false;
  void Take(double v);
};

// The value axis over `span`: a twentieth of its width added on each side (to a span of one
// value a tenth of it, at least 0.001), and starting at 0, not below it, when no value is below
// 0. Without values, 0 to 1.
struct ValueRange {
  double low = 0, high = 1;
  bool operator==(const ValueRange&) const = default;
};
ValueRange AxisOf(const ValueSpan& span);

// Where a reading is drawn: time across `plot`, values from `low` at its bottom to `high` below
// the band of the over-range readings at its top (as high as `band`: kOverRangeBand where the
// period has such a reading, else none).
inline constexpr double kOverRangeBand = 16;
struct Frame {
  QRectF plot;
  qint64 from = 0, to = 1;
  double low = 0, high = 1;
  double band = kOverRangeBand;

  double X(qint64 ms) const;
  double ColumnX(int column, int columns) const;
  double Y(double value) const;
  double OverRangeY() const { return plot.top() + band / 2; }
  double FailedY() const { return plot.bottom() - 4; }
  // Where the point is drawn.
  QPointF At(const Point& point) const;
};

// The limit line across the plot at the limit's height, and its label (`labelSize`) at the
// line's right end: above the line, or below it where above would leave the plot.
struct LimitMark {
  double y = 0;
  QRectF label;
};
LimitMark LimitMarkAt(const Frame& frame, double limit, QSizeF labelSize);

// The reading drawn nearest `at`, within `radius` pixels (the pointer's reach: kHoverRadius).
inline constexpr double kHoverRadius = 8;
struct Hit {
  std::size_t series;
  std::size_t point;
  bool operator==(const Hit&) const = default;
};
std::optional<Hit> Nearest(const std::vector<Series>& series, const Frame& frame, QPointF at,
                           double radius = kHoverRadius);

}  // namespace karvello::trend
