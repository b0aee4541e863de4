// The record's time and the display time, written by hand, as Qt's patterns write them: for
// instants before and after 1970, leap days, offsets east and west of UTC and of whole hours or
// not, local time, and the years Qt writes otherwise.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimeZone>
#include <string>
#include <vector>

#include "present/times.h"

namespace karvello {
namespace {

std::string QtTimeText(const QDateTime& when) {
  const int offset = when.offsetFromUtc();
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return (when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
          QStringLiteral("%1%2:%3")
              .arg(QChar(offset < 0 ? u'-' : u'+'))
              .arg(minutes / 60, 2, 10, QChar(u'0'))
              .arg(minutes % 60, 2, 10, QChar(u'0')))
      .toStdString();
}

TEST(Times, WrittenAsQtsPatternsWriteThem) {
  std::vector<QDateTime> times;
  for (const qint64 ms : {0LL, -1LL, 1LL, 86'399'999LL, -86'400'000LL, 951'782'400'000LL,
                          1'765'101'846'123LL, -62'135'596'800'000LL, 253'402'300'799'999LL,
                          -2'208'988'800'001LL, 4'102'444'800'000LL}) {
    for (const int offset : {0, 8 * 3600, -(5 * 3600 + 1800), 14 * 3600, -14 * 3600, 345 * 60}) {
      times.push_back(QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset));
    }
    times.push_back(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime));
    times.push_back(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone("America/St_Johns")));
  }
  // A leap day, the day after it, and the last millisecond of a year.
  times.push_back(QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59, 999), Qt::OffsetFromUTC, 3600));
  times.push_back(QDateTime(QDate(2100, 3, 1), QTime(0, 0), Qt::OffsetFromUTC, -3600));
  times.push_back(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 999), Qt::UTC));
  // Years that Qt writes in its own way: before year 1, after 9999; and no time at all.
  times.push_back(QDateTime(QDate(-5, 6, 1), QTime(1, 2, 3), Qt::UTC));
  times.push_back(QDateTime(QDate(12345, 6, 1), QTime(1, 2, 3), Qt::UTC));
  times.push_back(QDateTime());
  for (const QDateTime& when : times) {
    EXPECT_EQ(TimeText(when), QtTimeText(when)) << when.toMSecsSinceEpoch();
    EXPECT_EQ(DisplayTime(when), when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
        << when.toMSecsSinceEpoch();
  }
}

}  // namespace
}  // namespace karvello
