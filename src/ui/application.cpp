#include "ui/application.h"

#include <QApplication>

#include "karvello_about.h"

namespace karvello {

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int size : {16, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/%1x%1/apps/karvello.png").arg(size), QSize(size, size));
  }
  return icon;
}

void DescribeApplication() {
  QCoreApplication::setApplicationName(QStringLiteral("karvello"));
  QCoreApplication::setApplicationVersion(QString::fromLatin1(about::kVersion));
  QGuiApplication::setApplicationDisplayName(QString::fromLatin1(about::kName));
  QGuiApplication::setDesktopFileName(QString::fromLatin1(about::kDesktopId));
  QApplication::setWindowIcon(ApplicationIcon());
}

}  // namespace karvello
