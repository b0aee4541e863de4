#pragma once
// What the gateway's page, its JSON and its metrics make of the site's state at one moment: each
// reading's value as the command line writes it, its age, and whether it is old (older than
// three periods of the watch). Shared by those renderers so that they agree.

#include <QDateTime>
#include <chrono>
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

// `value` of `quantity` as a field: "34.5", "OL", "220".
std::string ValueText(Quantity quantity, const Reading& value);
// The value as a number: ohms or volts, over range +infinity.
double ValueNumber(const Reading& value);
// The seconds from `when` to the moment (never below 0).
double AgeSeconds(const QDateTime& when, const ViewMoment& moment);
// The quantity's last reading is older than kOldAfterPeriods periods.
bool IsOld(const QuantityState& state, const ViewMoment& moment);
// The quantity was read at least once.
inline bool WasRead(const QuantityState& state) { return state.lastTime.has_value(); }
// Whether the last round had an answered reading: among the readings made within one period of
// the latest, one answered. None before the first reading.
std::optional<bool> LastRoundAnswered(const SiteSnapshot& site, const ViewMoment& moment);

}  // namespace karvello::gateway
