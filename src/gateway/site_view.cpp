#include "gateway/site_view.h"

#include <algorithm>
#include <limits>

namespace karvello::gateway {

std::string ValueText(Quantity quantity, const Reading& value) {
  return FormOf(quantity).field(value);
}

double ValueNumber(const Reading& value) {
  if (value.overRange) return std::numeric_limits<double>::infinity();
  double number = value.number;
  for (unsigned i = 0; i < value.decimals; ++i) number /= 10;
  return number;
}

double AgeSeconds(const QDateTime& when, const ViewMoment& moment) {
  return std::max<qint64>(0, when.msecsTo(moment.now)) / 1000.0;
}

bool IsOld(const QuantityState& state, const ViewMoment& moment) {
  if (!state.lastTime) return false;
  return state.lastTime->msecsTo(moment.now) > kOldAfterPeriods * moment.every.count();
}

std::optional<bool> LastRoundAnswered(const SiteSnapshot& site, const ViewMoment& moment) {
  std::optional<QDateTime> latest;
  for (const auto& [address, detector] : site.detectors) {
    for (const QuantityState* q : {&detector.resistance, &detector.voltage}) {
      if (q->lastTime && (!latest || *q->lastTime > *latest)) latest = q->lastTime;
    }
  }
  if (!latest) return std::nullopt;
  for (const auto& [address, detector] : site.detectors) {
    for (const QuantityState* q : {&detector.resistance, &detector.voltage}) {
      if (q->lastTime && q->lastTime->msecsTo(*latest) < moment.every.count() &&
          q->lastResult == Result::kAnswered) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace karvello::gateway
