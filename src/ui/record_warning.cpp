#include "ui/record_warning.h"

#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace karvello {

namespace {

// The file, the reason, and that work goes on.
constexpr char kRecordFailed[] = "无法写入记录文件：\n%1\n（%2）\n操作照常进行，但结果未记入记录。";
constexpr char kRecordWrittenAgain[] = "记录文件又可写入：\n%1\n其间 %2 行结果未记入记录。";
constexpr char kRecordNotRotated[] =
    "记录文件已达大小上限，但无法另存为旧文件：\n%1\n（%2）\n结果照常记入，文件继续增大。";
constexpr char kRecordRotatedAgain[] = "记录文件已回到大小上限之内：\n%1";

// The area of `a` that `b` covers.
qint64 Covered(const QRect& a, const QRect& b) {
  const QRect both = a.intersected(b);
  return both.isEmpty() ? 0 : static_cast<qint64>(both.width()) * both.height();
}

}  // namespace

QString NoticeText(const Record::Notice& notice) {
  const QString path = QDir::toNativeSeparators(notice.path);
  using Kind = Record::Notice::Kind;
  switch (notice.kind) {
    case Kind::kNotWritten:
      return QString::fromUtf8(kRecordFailed).arg(path, notice.reason);
    case Kind::kWrittenAgain:
      return QString::fromUtf8(kRecordWrittenAgain).arg(path).arg(notice.rowsNotKept);
    case Kind::kNotRotated:
      return QString::fromUtf8(kRecordNotRotated).arg(path, notice.reason);
    case Kind::kRotatedAgain:
      return QString::fromUtf8(kRecordRotatedAgain).arg(path);
  }
  return {};
}

void ShowRecordNotice(QWidget* window, const QWidget* report, const Record::Notice& notice) {
  const auto icon = notice.IsFault() ? QMessageBox::Warning : QMessageBox::Information;
  auto* box = window->findChild<QMessageBox*>(QStringLiteral("recordWarning"));
  if (box == nullptr) {
    box = new QMessageBox(window);
    box->setObjectName(QStringLiteral("recordWarning"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setStandardButtons(QMessageBox::Ok);
  }
  box->setWindowTitle(window->windowTitle());
  box->setIcon(icon);
  box->setText(NoticeText(notice));
  // Shown first: a message box takes its size as it is shown, and on Windows its frame too.
  box->show();

  const QRect shown(report->mapToGlobal(QPoint(0, 0)), report->size());
  // Where the window is on the screen: its frame, as far as the system has told it, and what
  // it holds (a frame not yet known, as under Wine right after a show, is its inside alone).
  const QRect frame = window->frameGeometry()
                          .united(QRect(window->mapToGlobal(QPoint(0, 0)), window->size()))
                          .united(shown);
  const QScreen* screen =
      window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
  const QRect room = screen != nullptr ? screen->availableGeometry() : QRect();
  const QSize size = box->frameGeometry().size();
  constexpr int kGap = 8;
  const QPoint places[] = {
      {frame.right() + 1 + kGap, frame.top()},
      {frame.left() - kGap - size.width(), frame.top()},
      {frame.left(), frame.bottom() + 1 + kGap},
      {frame.left(), frame.top() - kGap - size.height()},
      // A screen with no room beside the window: over the window, beside the report.
      {shown.left(), shown.top() - kGap - size.height()},
      {shown.left(), shown.bottom() + 1 + kGap},
      {shown.right() + 1 + kGap, shown.top()},
      {shown.left() - kGap - size.width(), shown.top()},
  };
  QRect best;
  qint64 bestCovered = -1;
  for (const QPoint& place : places) {
    QRect rect(place, size);
    if (room.isValid() && !room.contains(rect)) {
      // Pulled onto the screen, it may come over the report.
      rect.moveLeft(std::clamp(rect.left(), room.left(),
                               std::max(room.left(), room.right() + 1 - size.width())));
      rect.moveTop(std::clamp(rect.top(), room.top(),
                              std::max(room.top(), room.bottom() + 1 - size.height())));
    }
    const qint64 covered = Covered(rect, shown);
    if (bestCovered < 0 || covered < bestCovered) {
      best = rect;
      bestCovered = covered;
    }
    if (covered == 0) break;
  }
  box->move(best.topLeft());
}

}  // namespace karvello
