#include "cli/cli_record.h"

#include <cstdio>

#include "record/record.h"

namespace karvello::cli {

// Each outcome goes to the record file the window and the survey also write.
struct OutcomeRecord::State {
  Record record{DefaultRecordPath()};
};

OutcomeRecord::OutcomeRecord(bool enabled) {
  if (!enabled) return;
  state_ = std::make_unique<State>();
  state_->record.SetOnNotice([](const Record::Notice& notice) {
    if (notice.kind != Record::Notice::Kind::kNotWritten) return;
    std::fprintf(stderr, "karvello-cli: the record %s cannot be written: %s\n",
                 qPrintable(notice.path), qPrintable(notice.reason));
  });
}

void OutcomeRecord::Add(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  if (state_) state_->record.Append(outcome, port, when);
}

void OutcomeRecord::AddAlarm(const AlarmChange& change, const std::string& port) {
  if (!state_) return;
  RecordRow row = RowOf(change.reading, port, change.when);
  row.address = change.address;
  row.operation = kAlarmOperation;
  row.result = change.raised ? kAlarmRaised : kAlarmCleared;
  row.again = false;
  row.sent.clear();
  row.reply.clear();
  state_->record.Append(row);
}

std::set<int> OutcomeRecord::RaisedAlarms(const std::string& port) const {
  std::set<int> raised;
  if (!state_) return raised;
  for (const RecordRow& row : Record::Read(state_->record.Path(), {})) {
    if (row.operation != kAlarmOperation || row.port != port) continue;
    if (row.result == kAlarmRaised) {
      raised.insert(row.address);
    } else {
      raised.erase(row.address);
    }
  }
  return raised;
}

OutcomeRecord::~OutcomeRecord() = default;

}  // namespace karvello::cli
