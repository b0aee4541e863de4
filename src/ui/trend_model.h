#pragma once
// What the trend chart shows, apart from any widget: the readings of both quantities, the period,
// the limit and the quantity shown, and from them at a given size where everything goes (the
// switch of the quantity, the legend, the plot, its ticks, the limit line), each series reduced
// to the plot's pixel columns, the reading under the pointer and the texts. Qt Core only: the
// widget hands in how wide its font draws a text and how high a line is.
//
// The reduction is kept between pictures: worked out again when the data, the period or the
// size changes, for one series when only its readings changed, and never while painting.

#include <QDateTime>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "ui/trend_frame.h"
#include "ui/trend_reduce.h"
#include "ui/trend_series.h"
#include "ui/trend_ticks.h"

namespace karvello::trend {

// How the widget's font draws: a text's width and a line's height, in logical pixels; until the
// widget tells, 7 pixels a character and 14 a line.
struct TextMetrics {
  std::function<double(const QString&)> width = [](const QString& text) {
    return 7.0 * static_cast<double>(text.size());
  };
  double height = 14;
};

struct LegendItem {
  QRectF rect;
  std::size_t series;  // in the shown series
};

// Where everything goes at one size.
struct Layout {
  QSizeF size;
  qreal pixelRatio = 1;
  QRectF switches[2];  // resistance, voltage
  std::vector<LegendItem> legend;
  bool hasPeriod = false;    // a period to draw
  std::size_t readings = 0;  // readings of any kind in the period
  Frame frame;
  int columns = 0;
  std::vector<ValueTick> valueTicks;
  std::vector<TimeTick> timeTicks;
  std::optional<LimitMark> limit;  // with readings of the resistance and a limit
};

// The chart's margin around everything, in pixels.
inline constexpr double kMargin = 8;

class Model {
 public:
  void SetMetrics(TextMetrics metrics);
  // Each true when what is shown changed.
  bool SetSeries(Quantity quantity, std::vector<Series> series);
  bool Append(Quantity quantity, int address, const Point& point);
  void SetPeriod(const QDateTime& from, const QDateTime& to);
  bool SetLimit(std::optional<double> ohms);
  bool SetQuantity(Quantity quantity);

  Quantity quantity() const { return quantity_; }
  const std::vector<Series>& series(Quantity quantity) const;
  const std::vector<Series>& Shown() const { return series(quantity_); }
  std::optional<double> limit() const { return limit_; }
  // The colour number of a detector's line: the order in which the chart first got it.
  int ColourOf(int address) const;

  Layout LayoutFor(QSizeF size, qreal pixelRatio) const;
  std::vector<Reduced> ReduceAll(const Layout& layout) const;
  // The layout and reduction of `size` kept, reducing again only what must be.
  void Prepare(QSizeF size, qreal pixelRatio);
  void Invalidate() { cache_.valid = false; }
  bool Prepared(QSizeF size, qreal pixelRatio) const;
  // The reduction kept serves `layout`.
  bool Serves(const Layout& layout) const;
  const Layout& layout() const { return cache_.layout; }
  const std::vector<Reduced>& reduced() const { return cache_.reduced; }

  // The reading under the pointer at `at` in the layout kept, and what its tooltip says: the
  // address, the time and the value.
  std::optional<Hit> HitAt(QPointF at) const;
  QString ToolTip(const Hit& hit) const;
  // The quantity whose switch is at `at`.
  std::optional<Quantity> SwitchAt(QPointF at) const;
  // The message shown in the plot instead of readings; empty when there are readings.
  QString Message() const;

  static QString SwitchText(Quantity quantity);
  static QString LegendText(int address);
  static QString NoRecords();
  QString LimitText() const;

 private:
  struct Cache {
    Layout layout;
    std::vector<Reduced> reduced;  // one per series shown
    std::vector<bool> stale;       // series whose readings changed since reduced
    bool valid = false;
  };

  TextMetrics metrics_;
  std::vector<Series> series_[2];
  QDateTime from_, to_;
  std::optional<double> limit_;
  Quantity quantity_ = Quantity::kResistance;
  std::map<int, int> colours_;  // address -> colour number, in order of first appearance
  Cache cache_;
};

}  // namespace karvello::trend
