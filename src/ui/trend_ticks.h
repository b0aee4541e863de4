#pragma once
// The trend chart's axes: ticks of time and of value, with their labels. Qt Core only.

#include <QString>
#include <QtGlobal>
#include <vector>

namespace karvello::trend {

// Time ticks at the local times a person reads (whole minutes, hours, days, months, years), the
// step the smallest that leaves kMinTimeTickSpacing pixels between ticks; all in [from, to].
inline constexpr int kMinTimeTickSpacing = 80;
struct TimeTick {
  qint64 ms;
  QString label;  // "10:20", "12月7日" at midnight, "2月" or "2027年1月" for months, "2027年"
};
std::vector<TimeTick> TimeTicks(qint64 from, qint64 to, int pixelWidth);

// Value ticks at multiples of 1, 2 or 5 x 10^n, at least kMinValueTickSpacing pixels apart; all
// in [min, max].
inline constexpr int kMinValueTickSpacing = 40;
struct ValueTick {
  double value;
  QString label;  // with as many decimals as the step has
};
std::vector<ValueTick> ValueTicks(double min, double max, int pixels);

}  // namespace karvello::trend
