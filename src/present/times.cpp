#include "present/times.h"

#include <cstdint>

namespace karvello {
namespace {

// A time's fields on the clock of its own offset, worked out from the instant by hand (after
// H. Hinnant's civil_from_days): Qt's formatting by pattern would take most of the time of
// printing a long record.
struct Fields {
  std::int64_t year;
  int month, day, hour, minute, second, milli;
};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

Fields FieldsOf(std::int64_t localMsecs) {
  const std::int64_t days = FloorDiv(localMsecs, 86'400'000);
  const std::int64_t inDay = localMsecs - days * 86'400'000;
  const std::int64_t z = days + 719468;
  const std::int64_t era = FloorDiv(z, 146097);
  const std::int64_t dayOfEra = z - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return {year,
          month,
          day,
          static_cast<int>(inDay / 3'600'000),
          static_cast<int>(inDay / 60'000 % 60),
          static_cast<int>(inDay / 1000 % 60),
          static_cast<int>(inDay % 1000)};
}

// The fields of `when` on its own clock; none for a time Qt writes otherwise (invalid, or a year
// outside 1 to 9999).
bool FieldsOf(const QDateTime& when, Fields& fields, int& offset) {
  if (!when.isValid()) return false;
  offset = when.offsetFromUtc();
  fields = FieldsOf(when.toMSecsSinceEpoch() + std::int64_t{offset} * 1000);
  return fields.year >= 1 && fields.year <= 9999;
}

// Writes `value` as `width` digits at `at`, and moves `at` past them.
void Put(char*& at, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  at += width;
}

// "2026-12-07 18:04:06" (`separator` between the date and the time) into `text`; the end.
char* PutDateTime(char* at, const Fields& f, char separator) {
  Put(at, static_cast<int>(f.year), 4);
  *at++ = '-';
  Put(at, f.month, 2);
  *at++ = '-';
  Put(at, f.day, 2);
  *at++ = separator;
  Put(at, f.hour, 2);
  *at++ = ':';
  Put(at, f.minute, 2);
  *at++ = ':';
  Put(at, f.second, 2);
  return at;
}

}  // namespace

std::string TimeText(const QDateTime& when) {
  Fields f{};
  int offset = 0;
  if (!FieldsOf(when, f, offset)) {
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return (when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
            QStringLiteral("%1%2:%3")
                .arg(QChar(offset < 0 ? u'-' : u'+'))
                .arg(minutes / 60, 2, 10, QChar(u'0'))
                .arg(minutes % 60, 2, 10, QChar(u'0')))
        .toStdString();
  }
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  char text[40];
  char* at = PutDateTime(text, f, 'T');
  *at++ = '.';
  Put(at, f.milli, 3);
  *at++ = offset < 0 ? '-' : '+';
  Put(at, minutes / 60 % 100, 2);
  *at++ = ':';
  Put(at, minutes % 60, 2);
  return std::string(text, at);
}

std::string DisplayTimeText(const QDateTime& when) {
  Fields f{};
  int offset = 0;
  if (!FieldsOf(when, f, offset)) {
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
  }
  char text[24];
  return std::string(text, PutDateTime(text, f, ' '));
}

QString DisplayTime(const QDateTime& when) {
  return QString::fromStdString(DisplayTimeText(when));
}

}  // namespace karvello
