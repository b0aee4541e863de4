// The trend chart widget: the model told of each change, the pointer and the switch of the
// quantity, and the PNG export.
#include "ui/trend_chart.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QToolTip>
#include <algorithm>

#include "ui/song_font.h"

namespace karvello {
namespace {

using trend::Point;
using trend::Quantity;

}  // namespace

TrendChart::TrendChart(QWidget* parent) : QWidget(parent) {
  setFont(SongFont(10, false));
  TakeFont();
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(320, 180);
}

TrendChart::~TrendChart() = default;

void TrendChart::TakeFont() {
  const QFontMetricsF fm(font());
  model_.SetMetrics(
      {[fm](const QString& text) { return fm.horizontalAdvance(text); }, fm.height()});
}

void TrendChart::SetSeries(Quantity quantity, std::vector<trend::Series> series) {
  if (model_.SetSeries(quantity, std::move(series))) Invalidate();
}

void TrendChart::Append(Quantity quantity, int address, Point point) {
  if (!model_.Append(quantity, address, point)) return;
  hover_.reset();
  Prepare();
  update();
}

void TrendChart::SetPeriod(const QDateTime& from, const QDateTime& to) {
  model_.SetPeriod(from, to);
  Invalidate();
}

void TrendChart::SetLimit(std::optional<double> ohms) {
  if (model_.SetLimit(ohms)) Invalidate();
}

void TrendChart::SetQuantity(Quantity quantity) {
  if (!model_.SetQuantity(quantity)) return;
  Invalidate();
  emit quantityChanged(quantity);
}

void TrendChart::Invalidate() {
  model_.Invalidate();
  hover_.reset();
  Prepare();
  update();
}

void TrendChart::Prepare() {
  model_.Prepare(QSizeF(size()), devicePixelRatioF());
}

void TrendChart::Render(QPainter& painter, QSizeF size, qreal pixelRatio) const {
  const trend::Layout layout = model_.LayoutFor(size, pixelRatio);
  PaintWith(painter, layout, model_.Serves(layout) ? model_.reduced() : model_.ReduceAll(layout),
            std::nullopt);
}

void TrendChart::paintEvent(QPaintEvent*) {
  // Reduced already when the data or the size changed; only a changed screen is done here.
  if (!model_.Prepared(QSizeF(size()), devicePixelRatioF())) Prepare();
  QPainter painter(this);
  PaintWith(painter, model_.layout(), model_.reduced(), hover_);
}

void TrendChart::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Rendering a hidden widget sends it its size again: reduced again only if the columns change.
  if (event->size() != event->oldSize()) hover_.reset();
  Prepare();
}

void TrendChart::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    TakeFont();
    Invalidate();
  }
}

QString TrendChart::ToolTipAt(QPoint at) const {
  const std::optional<trend::Hit> hit = model_.HitAt(QPointF(at));
  return hit ? model_.ToolTip(*hit) : QString();
}

void TrendChart::mouseMoveEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  const std::optional<trend::Hit> hit = model_.HitAt(at);
  if (hit != hover_) {
    hover_ = hit;
    update();
  }
  if (hit) {
    QToolTip::showText(event->globalPosition().toPoint(), ToolTipAt(at.toPoint()), this);
  } else {
    QToolTip::hideText();
  }
  setCursor(model_.SwitchAt(at) ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void TrendChart::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  if (const std::optional<Quantity> quantity = model_.SwitchAt(event->position())) {
    SetQuantity(*quantity);
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
