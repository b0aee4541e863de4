#pragma once
// The trend chart: the readings of the detectors of a line over a period, one line per detector,
// drawn with QPainter. It shows one quantity at a time (resistance or voltage, switched in its
// header) so that the one shown gets the whole height of a small window; the limit belongs to
// the resistance alone. A failed reading is a gap in its line and a cross on the time axis, an
// over-range reading ("OL") a triangle in the band at the top of the plot.
//
// What is drawn is reduced to what the pixels can show: each series' readings in the period
// become, per pixel column, their smallest and largest value, worked out when the data, the
// period or the size changes and never while painting.

#include <QDateTime>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <map>
#include <optional>
#include <vector>

#include "engine/operations.h"

namespace karvello {

struct RecordRow;

namespace trend {

// The chart draws resistances or voltages.
using karvello::Quantity;

// "Ω" or "V".
QString UnitOf(Quantity quantity);

struct Point {
  enum class Kind { kValue, kFailed, kOverRange };
  qint64 ms = 0;  // the time of the reading, milliseconds since the epoch
  Kind kind = Kind::kValue;
  double value = 0;  // the reading, for kValue only

  static Point Value(qint64 ms, double value) { return {ms, Kind::kValue, value}; }
  static Point Failed(qint64 ms) { return {ms, Kind::kFailed, 0}; }
  static Point OverRange(qint64 ms) { return {ms, Kind::kOverRange, 0}; }
  bool operator==(const Point&) const = default;
};

// The readings of one detector, in time order (the chart sorts what it is given).
struct Series {
  int address = 0;
  std::vector<Point> points;
};

// The series of `quantity` in record rows: an answered row is a value or, "OL", over range; a row
// whose request went unanswered or was answered wrongly is a failed reading. Rows of a reply that
// came again and rows that were never sent are no readings. Series are in order of address.
std::vector<Series> SeriesOf(const std::vector<RecordRow>& rows, Quantity quantity);

// Time ticks at the local times a person reads (whole minutes, hours, days, months, years), the
// step the smallest that leaves kMinTimeTickSpacing pixels between ticks; all in [from, to].
inline constexpr int kMinTimeTickSpacing = 80;
struct TimeTick {
  qint64 ms;
  QString label;  // "10:20", "12月7日" at midnight, "2月" or "2027年1月" for months, "2027年"
};
std::vector<TimeTick> TimeTicks(qint64 from, qint64 to, int pixelWidth);

// Value ticks at multiples of 1, 2 or 5 x 10^n, at least kMinValueTickSpacing pixels apart; all
// in [min, max].
inline constexpr int kMinValueTickSpacing = 40;
struct ValueTick {
  double value;
  QString label;  // with as many decimals as the step has
};
std::vector<ValueTick> ValueTicks(double min, double max, int pixels);

// One pixel column of a series: its readings' smallest and largest value. The line is drawn
// down and up between them and on to the next column, which covers every reading in it.
struct Column {
  int index;  // 0 to columns - 1
  double min, max;
  bool operator==(const Column&) const = default;
};

// A series reduced to `columns` columns over [from, to]. A failed or over-range reading ends a
// run, so no line is drawn across it, even within one column.
struct Reduced {
  std::vector<std::vector<Column>> runs;
  std::vector<int> overRange;  // the columns with an over-range reading, each once, ascending
  std::vector<int> failed;     // the columns with a failed reading, each once, ascending
  std::size_t values = 0;      // the readings with a value in the period
};
Reduced Reduce(const std::vector<Point>& points, qint64 from, qint64 to, int columns);

// Points are marked one by one when each has kPixelsPerMarker pixels of the plot's width.
inline constexpr int kPixelsPerMarker = 4;
bool MarksPoints(std::size_t values, double plotWidth);

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

// The reading drawn nearest `at`, within `radius` pixels (the pointer's reach: kHoverRadius).
inline constexpr double kHoverRadius = 8;
struct Hit {
  std::size_t series;
  std::size_t point;
  bool operator==(const Hit&) const = default;
};
std::optional<Hit> Nearest(const std::vector<Series>& series, const Frame& frame, QPointF at,
                           double radius = kHoverRadius);

}  // namespace trend

class TrendChart : public QWidget {
  Q_OBJECT
 public:
  explicit TrendChart(QWidget* parent = nullptr);
  ~TrendChart() override;

  // The readings of one quantity, replacing those it had.
  void SetSeries(trend::Quantity quantity, std::vector<trend::Series> series);
  // A new reading of the detector at `address` as it is made; a detector not yet shown gets its
  // own line.
  void Append(trend::Quantity quantity, int address, trend::Point point);
  // The period of the time axis; an invalid bound is taken from the readings.
  void SetPeriod(const QDateTime& from, const QDateTime& to);
  // The resistance limit in ohms, drawn as a dashed line; none: no line.
  void SetLimit(std::optional<double> ohms);
  void SetQuantity(trend::Quantity quantity);

  trend::Quantity quantity() const { return quantity_; }
  const std::vector<trend::Series>& series(trend::Quantity quantity) const;
  // The message shown in the plot instead of readings; empty when there are readings.
  QString Message() const;
  // The tooltip for the pointer at `at`: the address, time and value of the reading nearest.
  QString ToolTipAt(QPoint at) const;
  // Where the chart on screen draws its readings.
  const trend::Frame& frame() const { return cache_.layout.frame; }

  // The chart as a PNG of `size` pixels: at a size no smaller than on screen, the screen's
  // picture scaled up; written whole or not at all, so a failure leaves a file there untouched.
  static constexpr int kMaxExportSide = 8192;
  bool ExportPng(const QString& path, QSize size);
  QString ExportError() const { return exportError_; }

  // Paints the chart at `size` (logical pixels) on `painter`; `pixelRatio` device pixels each.
  void Render(QPainter& painter, QSizeF size, qreal pixelRatio) const;

 signals:
  void quantityChanged(trend::Quantity quantity);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct LegendItem {
    QRectF rect;
    std::size_t series;
  };
  struct Layout {
    QSizeF size;
    qreal pixelRatio = 1;
    QRectF switches[2];
    std::vector<LegendItem> legend;
    bool hasPeriod = false;    // a period to draw
    std::size_t readings = 0;  // readings of any kind in the period
    trend::Frame frame;
    int columns = 0;
    std::vector<trend::ValueTick> valueTicks;
    std::vector<trend::TimeTick> timeTicks;
  };
  struct Cache {
    Layout layout;
    std::vector<trend::Reduced> reduced;  // one per series shown
    std::vector<bool> stale;              // series whose readings changed since reduced
    bool valid = false;
  };

  const std::vector<trend::Series>& Shown() const;
  Layout LayoutFor(QSizeF size, qreal pixelRatio) const;
  std::vector<trend::Reduced> ReduceAll(const Layout& layout) const;
  void Prepare();
  void Invalidate();
  QColor ColourOf(int address) const;
  void Remember(const std::vector<trend::Series>& series);
  void PaintWith(QPainter& painter, const Layout& layout,
                 const std::vector<trend::Reduced>& reduced,
                 const std::optional<trend::Hit>& hover) const;
  std::optional<trend::Hit> HitAt(QPointF at) const;

  std::vector<trend::Series> series_[2];
  QDateTime from_, to_;
  std::optional<double> limit_;
  trend::Quantity quantity_ = trend::Quantity::kResistance;
  std::map<int, int> colours_;  // address -> colour number, in order of first appearance
  Cache cache_;
  std::optional<trend::Hit> hover_;
  QString exportError_;
};

}  // namespace karvello
