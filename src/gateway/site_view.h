#pragma once
// What the gateway's page, its JSON and its metrics make of the site's state at one moment: each
// reading's value as the command line writes it, its time and age, and whether it is old (older
// than three periods of the watch). Shared by those renderers so that they agree.

#include <QDateTime>
#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "gateway/site_state.h"

namespace karvello::gateway {

// A reading older than this many periods of the watch is marked old.
inline constexpr int kOldAfterPeriods = 3;

// The moment a view is made at, and the watch's period.
struct ViewMoment {
  QDateTime now;
  std::chrono::milliseconds every{60000};
};

// The times of one view. A local time's offset from UTC is looked up once for each hour of local
// time that has a single offset throughout (the system's time zone is asked for every time in an
// hour that changes it): a view of 255 detectors has a thousand times, and asking the time zone
// for each would take milliseconds.
class ViewClock {
 public:
  explicit ViewClock(const ViewMoment& moment);

  // "2026-12-07T18:04:06.123+08:00", as TimeText writes it.
  std::string TimeText(const QDateTime& when);
  // "2026-12-07 18:04:06", as DisplayTime writes it.
  std::string DisplayText(const QDateTime& when);
  // Milliseconds since the epoch.
  qint64 Epoch(const QDateTime& when);
  // The seconds from `when` to the moment (never below 0).
  double AgeSeconds(const QDateTime& when);
  // The quantity's last reading is older than kOldAfterPeriods periods.
  bool IsOld(const QuantityState& state);
  const ViewMoment& Moment() const { return moment_; }

 private:
  int OffsetSeconds(const QDateTime& when, qint64 local);

  ViewMoment moment_;
  qint64 now_ = 0;
  std::map<qint64, std::optional<int>> hours_;  // local hour: its offset, if one throughout
};

// `value` of `quantity` as a field: "34.5", "OL", "220".
std::string ValueText(Quantity quantity, const Reading& value);
// The value as a number: ohms or volts, over range +infinity.
double ValueNumber(const Reading& value);
// The quantity was read at least once.
inline bool WasRead(const QuantityState& state) { return state.lastTime.has_value(); }
// Whether the last round had an answered reading: among the readings made within one period of
// the latest, one answered. None before the first reading.
std::optional<bool> LastRoundAnswered(const SiteSnapshot& site, ViewClock& clock);

}  // namespace karvello::gateway
