#pragma once
// The trend chart: the readings of the detectors of a line over a period, one line per detector,
// drawn with QPainter. It shows one quantity at a time (resistance or voltage, switched in its
// header) so that the one shown gets the whole height of a small window; the limit belongs to
// the resistance alone. A failed reading is a gap in its line and a cross on the time axis, an
// over-range reading ("OL") a triangle in the band at the top of the plot.
//
// The widget draws what its trend::Model says: the model holds the readings and works out where
// everything goes and what each series' readings reduce to per pixel column, when the data, the
// period or the size changes and never while painting.

#include <QDateTime>
#include <QPointF>
#include <QSizeF>
#include <QString>
#include <QWidget>
#include <optional>
#include <vector>

#include "ui/trend_model.h"

namespace karvello {

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

  trend::Quantity quantity() const { return model_.quantity(); }
  const std::vector<trend::Series>& series(trend::Quantity quantity) const {
    return model_.series(quantity);
  }
  const trend::Model& model() const { return model_; }
  // The message shown in the plot instead of readings; empty when there are readings.
  QString Message() const { return model_.Message(); }
  // The tooltip for the pointer at `at`: the address, time and value of the reading nearest.
  QString ToolTipAt(QPoint at) const;
  // Where the chart on screen draws its readings.
  const trend::Frame& frame() const { return model_.layout().frame; }

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
  void Prepare();
  void Invalidate();
  void TakeFont();
  QColor ColourOf(int address) const;
  void PaintWith(QPainter& painter, const trend::Layout& layout,
                 const std::vector<trend::Reduced>& reduced,
                 const std::optional<trend::Hit>& hover) const;
  void PaintSeries(QPainter& painter, const trend::Layout& layout,
                   const std::vector<trend::Reduced>& reduced) const;

  trend::Model model_;
  std::optional<trend::Hit> hover_;
  QString exportError_;
};

}  // namespace karvello
