#pragma once
// The shared record as karvello-cli feeds it: one call per outcome.

#include <QDateTime>
#include <memory>
#include <set>
#include <string>

#include "cli/cli_output.h"
#include "engine/outcome.h"
#include "gateway/site_state.h"
#include "record/record_row.h"

namespace karvello::cli {

class OutcomeRecord {
 public:
  // `enabled` false (--no-record): nothing is recorded.
  explicit OutcomeRecord(bool enabled);
  ~OutcomeRecord();

  // Adds `outcome`, which happened on `port` at `when`, to the shared record. A record that
  // cannot be written does not stop the command: each outage is said on standard error as it
  // begins, and as it ends with the rows it cost (at the latest as the command ends), and so
  // is a record that cannot be set aside at its size limit.
  void Add(const Outcome& outcome, const std::string& port, const QDateTime& when);
  // Adds an alarm's change as a row of its own: operation "alarm", its state ("raised",
  // "cleared") as the result, and the reading's value and unit.
  void AddAlarm(const AlarmChange& change, const std::string& port);
  // A row made elsewhere (a detector set aside or back).
  void AddRow(const RecordRow& row);
  // The record as the site's state shows it: its path (empty with --no-record), whether its last
  // append failed, and the rows not kept since the last one that succeeded.
  gateway::RecordState Status() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace karvello::cli
