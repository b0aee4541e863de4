#pragma once
// The site's state as the JSON of the gateway's /api/status (its keys are listed in the README):
// the site, the line, the broker, the record, and each detector's last readings, times with
// their UTC offset and values as `--format json` writes them.

#include <string>

#include "gateway/site_view.h"

namespace karvello::gateway {

std::string StatusJson(const SiteSnapshot& site, const ViewMoment& moment);

}  // namespace karvello::gateway
