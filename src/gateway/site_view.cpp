#include "gateway/site_view.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace karvello::gateway {
namespace {

constexpr qint64 kHour = 3600 * 1000;
constexpr qint64 kDay = 24 * kHour;

// The local time of `when` in milliseconds since the epoch's day, read without the time zone.
qint64 LocalMs(const QDateTime& when) {
  return (when.date().toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * kDay +
         when.time().msecsSinceStartOfDay();
}

QDateTime LocalAt(qint64 local) {
  const qint64 day = local >= 0 ? local / kDay : (local - kDay + 1) / kDay;
  return QDateTime(QDate(1970, 1, 1).addDays(day),
                   QTime::fromMSecsSinceStartOfDay(static_cast<int>(local - day * kDay)));
}

}  // namespace

ViewClock::ViewClock(const ViewMoment& moment) : moment_(moment) {
  now_ = moment_.now.isValid() ? Epoch(moment_.now) : 0;
}

int ViewClock::OffsetSeconds(const QDateTime& when, qint64 local) {
  if (when.timeSpec() != Qt::LocalTime) return when.offsetFromUtc();
  const qint64 hour = local >= 0 ? local / kHour : (local - kHour + 1) / kHour;
  auto found = hours_.find(hour);
  if (found == hours_.end()) {
    const int first = LocalAt(hour * kHour).offsetFromUtc();
    // The next hour's start too: an hour that comes twice reads as its first both times.
    const int last = LocalAt(hour * kHour + kHour).offsetFromUtc();
    found = hours_.emplace(hour, first == last ? std::optional<int>(first) : std::nullopt).first;
  }
  return found->second ? *found->second : when.offsetFromUtc();
}

qint64 ViewClock::Epoch(const QDateTime& when) {
  const qint64 local = LocalMs(when);
  return local - OffsetSeconds(when, local) * 1000LL;
}

std::string ViewClock::TimeText(const QDateTime& when) {
  const QDate date = when.date();
  const QTime time = when.time();
  const int offset = OffsetSeconds(when, LocalMs(when));
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", date.year(),
                date.month(), date.day(), time.hour(), time.minute(), time.second(), time.msec(),
                offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

std::string ViewClock::DisplayText(const QDateTime& when) {
  const QDate date = when.date();
  const QTime time = when.time();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", date.year(), date.month(),
                date.day(), time.hour(), time.minute(), time.second());
  return text;
}

double ViewClock::AgeSeconds(const QDateTime& when) {
  return static_cast<double>(std::max<qint64>(0, now_ - Epoch(when))) / 1000.0;
}

bool ViewClock::IsOld(const QuantityState& state) {
  if (!state.lastTime) return false;
  return now_ - Epoch(*state.lastTime) > kOldAfterPeriods * moment_.every.count();
}

std::string ValueText(Quantity quantity, const Reading& value) {
  return FormOf(quantity).field(value);
}

double ValueNumber(const Reading& value) {
  if (value.overRange) return std::numeric_limits<double>::infinity();
  double number = value.number;
  for (unsigned i = 0; i < value.decimals; ++i) number /= 10;
  return number;
}

std::optional<bool> LastRoundAnswered(const SiteSnapshot& site, ViewClock& clock) {
  std::optional<qint64> latest;
  for (const auto& [address, detector] : site.detectors) {
    for (const QuantityState* q : {&detector.resistance, &detector.voltage}) {
      if (q->lastTime) latest = std::max(latest.value_or(INT64_MIN), clock.Epoch(*q->lastTime));
    }
  }
  if (!latest) return std::nullopt;
  for (const auto& [address, detector] : site.detectors) {
    for (const QuantityState* q : {&detector.resistance, &detector.voltage}) {
      if (q->lastTime && q->lastResult == Result::kAnswered &&
          *latest - clock.Epoch(*q->lastTime) < clock.Moment().every.count()) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace karvello::gateway
