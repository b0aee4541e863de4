// The trend chart's painting: what its model lays out, drawn with QPainter.
#include "ui/trend_chart.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <cmath>

namespace karvello {
namespace {

using trend::Quantity;

// Tableau's ten colours: told apart also by most colour-blind eyes.
const QColor kColours[] = {{31, 119, 180},  {255, 127, 14}, {44, 160, 44},   {214, 39, 40},
                           {148, 103, 189}, {140, 86, 75},  {227, 119, 194}, {127, 127, 127},
                           {188, 189, 34},  {23, 190, 207}};
const QColor kLimitColour(198, 40, 40);
const QColor kGridColour(228, 228, 228);
const QColor kFrameColour(160, 160, 160);
const QColor kTextColour(40, 40, 40);

}  // namespace

QColor TrendChart::ColourOf(int address) const {
  const int n = model_.ColourOf(address);
  if (n < static_cast<int>(std::size(kColours))) return kColours[n];
  return QColor::fromHsv((n * 47) % 360, 200, 190);
}

void TrendChart::PaintWith(QPainter& painter, const trend::Layout& layout,
                           const std::vector<trend::Reduced>& reduced,
                           const std::optional<trend::Hit>& hover) const {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setFont(font());
  const QFontMetricsF fm(font());
  painter.fillRect(QRectF(QPointF(0, 0), layout.size), Qt::white);

  // The switch of the quantity.
  for (int i = 0; i < 2; ++i) {
    const Quantity quantity = i == 0 ? Quantity::kResistance : Quantity::kVoltage;
    const bool on = quantity == model_.quantity();
    painter.setPen(kFrameColour);
    painter.setBrush(on ? QColor(47, 111, 183) : QColor(240, 240, 240));
    painter.drawRect(layout.switches[i].adjusted(0.5, 0.5, -0.5, -0.5));
    painter.setPen(on ? Qt::white : kTextColour);
    painter.drawText(layout.switches[i], Qt::AlignCenter, trend::Model::SwitchText(quantity));
  }

  // The legend.
  const std::vector<trend::Series>& shown = model_.Shown();
  for (const trend::LegendItem& item : layout.legend) {
    const QColor colour = ColourOf(shown[item.series].address);
    const double cy = item.rect.center().y();
    painter.setPen(QPen(colour, 2));
    painter.drawLine(QPointF(item.rect.left() + 2, cy), QPointF(item.rect.left() + 18, cy));
    painter.setBrush(colour);
    painter.drawEllipse(QPointF(item.rect.left() + 10, cy), 2.5, 2.5);
    painter.setPen(kTextColour);
    painter.drawText(item.rect.adjusted(22, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     trend::Model::LegendText(shown[item.series].address));
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
    painter.drawText(plot, Qt::AlignCenter, trend::Model::NoRecords());
    painter.restore();
    return;
  }

  if (layout.limit) {
    painter.setPen(QPen(kLimitColour, 1.5, Qt::DashLine));
    painter.drawLine(QPointF(plot.left(), layout.limit->y), QPointF(plot.right(), layout.limit->y));
  }
  painter.setClipRect(plot.adjusted(-6, -1, 6, 1));
  PaintSeries(painter, layout, reduced);
  if (layout.limit) {
    // On white, so that it reads above the lines that cross it; drawn after them.
    painter.setPen(kLimitColour);
    painter.setBrush(QColor(255, 255, 255, 220));
    painter.drawRect(layout.limit->label);
    painter.drawText(layout.limit->label, Qt::AlignCenter, model_.LimitText());
  }
  if (hover && hover->series < shown.size() && hover->point < shown[hover->series].points.size()) {
    const QPointF at = f.At(shown[hover->series].points[hover->point]);
    painter.setPen(QPen(ColourOf(shown[hover->series].address), 2));
    painter.setBrush(Qt::white);
    painter.drawEllipse(at, 4.5, 4.5);
  }
  painter.restore();
}

void TrendChart::PaintSeries(QPainter& painter, const trend::Layout& layout,
                             const std::vector<trend::Reduced>& reduced) const {
  const trend::Frame& f = layout.frame;
  const std::vector<trend::Series>& shown = model_.Shown();
  const bool marked = std::all_of(reduced.begin(), reduced.end(), [&](const trend::Reduced& r) {
    return trend::MarksPoints(r.values, f.plot.width());
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
}

}  // namespace karvello
