#pragma once
// The resistance limit judged over the record's rows by the engine's rule, as the watch judges
// the readings it makes, so that the survey window and the watch never disagree.

#include <set>
#include <vector>

#include "engine/alarm_rule.h"
#include "record/record.h"

namespace karvello {

// The addresses whose alarm stands raised once the rule has taken each one's resistance readings
// among `rows`, in time order. A failed reading counts for neither side; a reply that came again
// and a request never sent are no readings.
std::set<int> RaisedOver(const std::vector<RecordRow>& rows, AlarmLimit limit);

}  // namespace karvello
