#include "ui/record_warning.h"

#include <QDir>
#include <QMessageBox>
#include <QWidget>

namespace karvello {

namespace {

// The file, the reason, and that work goes on.
constexpr char kRecordFailed[] = "无法写入记录文件：\n%1\n（%2）\n操作照常进行，但结果未记入记录。";

}  // namespace

void WarnRecordFailed(QWidget* parent, const QString& path, const QString& reason) {
  auto* box =
      new QMessageBox(QMessageBox::Warning, parent->windowTitle(),
                      QString::fromUtf8(kRecordFailed).arg(QDir::toNativeSeparators(path), reason),
                      QMessageBox::Ok, parent);
  box->setObjectName(QStringLiteral("recordWarning"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->show();
}

}  // namespace karvello
