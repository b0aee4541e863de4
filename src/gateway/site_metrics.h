#pragma once
// The site's state in Prometheus' text format, as /metrics serves it: per detector its last
// answered readings, their age, whether the last was answered, the readings counted by result
// and the alarm; per site the line, the broker and the record. A quantity never answered has no
// value sample; one never read has no sample at all.

#include <string>

#include "gateway/site_view.h"

namespace karvello::gateway {

std::string MetricsText(const SiteSnapshot& site, const ViewMoment& moment);

}  // namespace karvello::gateway
