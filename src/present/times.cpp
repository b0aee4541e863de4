#include "present/times.h"

namespace karvello {

std::string TimeText(const QDateTime& when) {
  const int offset = when.offsetFromUtc();
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return (when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
          QStringLiteral("%1%2:%3")
              .arg(QChar(offset < 0 ? u'-' : u'+'))
              .arg(minutes / 60, 2, 10, QChar(u'0'))
              .arg(minutes % 60, 2, 10, QChar(u'0')))
      .toStdString();
}

QString DisplayTime(const QDateTime& when) {
  return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

}  // namespace karvello
