#pragma once
// The limit of a detector's grounding resistance, as the gateway and the survey window both
// judge it: an alarm is raised after `after` readings in a row above the limit and cleared after
// `after` in a row at or below it. A reading equal to the limit is not above it; over range is
// above any limit; a failed reading counts for neither and breaks no run.

#include <optional>

#include "engine/operations.h"

namespace karvello {

// The readings in a row that raise or clear an alarm unless told otherwise.
inline constexpr int kDefaultAlarmAfter = 2;

struct AlarmLimit {
  double ohms = 0;
  int after = kDefaultAlarmAfter;  // at least 1
};

// The resistance of a reading in ohms: its number with its decimal places. Over range has none.
std::optional<double> OhmsOf(const Reading& reading);
bool IsAbove(const Reading& reading, double limitOhms);

class AlarmRule {
 public:
  enum class Change { kNone, kRaised, kCleared };

  // `raised`: the alarm stands already (as a watch finds it in the record when it starts again).
  explicit AlarmRule(AlarmLimit limit, bool raised = false) : limit_(limit), raised_(raised) {}

  // The next resistance reading; none for a failed one.
  Change Take(const std::optional<Reading>& reading);
  bool Raised() const { return raised_; }
  const AlarmLimit& Limit() const { return limit_; }

 private:
  AlarmLimit limit_;
  bool raised_ = false;
  int run_ = 0;  // readings in a row on the other side of the limit from the alarm's state
};

}  // namespace karvello
