#include "gateway/site_health.h"

#include "present/times.h"

namespace karvello::gateway {

Health HealthOf(const SiteSnapshot& site, const ViewMoment& moment) {
  if (!site.line.open) {
    return {false, "the line " + site.line.address + " is lost" +
                       (site.line.lostSince.isValid()
                            ? " since " + DisplayTime(site.line.lostSince).toStdString()
                            : std::string())};
  }
  ViewClock clock(moment);
  const std::optional<bool> answered = LastRoundAnswered(site, clock);
  if (!answered) return {false, "no reading made yet"};
  if (!*answered) return {false, "no reading of the last round was answered"};
  return {true, "ok"};
}

}  // namespace karvello::gateway
