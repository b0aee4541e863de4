#include "engine/alarm_rule.h"

#include <algorithm>

namespace karvello {

std::optional<double> OhmsOf(const Reading& reading) {
  if (reading.overRange || reading.decimals > 2) return std::nullopt;
  double ohms = reading.number;
  // A division by 10 or 100 rounds as a typed "4.1" does, so a reading equal to a typed limit
  // compares equal.
  for (unsigned i = 0; i < reading.decimals; ++i) ohms /= 10;
  return ohms;
}

bool IsAbove(const Reading& reading, double limitOhms) {
  const std::optional<double> ohms = OhmsOf(reading);
  return !ohms || *ohms > limitOhms;
}

AlarmRule::Change AlarmRule::Take(const std::optional<Reading>& reading) {
  if (!reading) return Change::kNone;
  const bool above = IsAbove(*reading, limit_.ohms);
  if (above == raised_) {
    run_ = 0;
    return Change::kNone;
  }
  if (++run_ < std::max(limit_.after, 1)) return Change::kNone;
  run_ = 0;
  raised_ = above;
  return raised_ ? Change::kRaised : Change::kCleared;
}

}  // namespace karvello
