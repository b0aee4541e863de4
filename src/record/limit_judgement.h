#pragma once
// The resistance limit judged over the record's rows by the engine's alarm rule, as the watch
// judges the readings it makes, so that a front end showing a period and the watch never
// disagree: which detectors' alarms stand raised at the end of the period.

#include <QDateTime>
#include <optional>
#include <set>
#include <vector>

#include "engine/alarm_rule.h"
#include "record/record.h"

namespace karvello {

// The addresses whose alarm stands raised once the rule has taken each one's resistance readings
// among `rows`, in time order. A failed reading counts for neither side; a reply that came again
// and a request never sent are no readings.
std::set<int> RaisedOver(const std::vector<RecordRow>& rows, AlarmLimit limit);

// The judgement of one front end: its limit (none: no detector is above it) over the record's
// rows of its period, or, without a record, over the readings it made itself, kept here.
class LimitJudgement {
 public:
  void SetLimit(std::optional<AlarmLimit> limit) { limit_ = limit; }
  const std::optional<AlarmLimit>& limit() const { return limit_; }

  // Keeps a row made without a record when it is a resistance reading; false for any other.
  bool Keep(const RecordRow& row);

  // The detectors above the limit over `rows`, or over the readings kept from `from` to `to`
  // (both included).
  std::set<int> Over(const std::vector<RecordRow>& rows) const;
  std::set<int> OverKept(const QDateTime& from, const QDateTime& to) const;

 private:
  std::optional<AlarmLimit> limit_;
  std::vector<RecordRow> kept_;
};

}  // namespace karvello
