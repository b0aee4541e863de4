#pragma once
// The gateway's health as /healthz answers a load balancer or a supervisor: well while the line
// is open and the last round had an answered reading; otherwise the reason, in one line.

#include <string>

#include "gateway/site_view.h"

namespace karvello::gateway {

struct Health {
  bool well = false;
  std::string text;  // "ok", or the reason; one line, without its end
};

Health HealthOf(const SiteSnapshot& site, const ViewMoment& moment);

}  // namespace karvello::gateway
