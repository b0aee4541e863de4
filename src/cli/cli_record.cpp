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
    const QByteArray path = notice.path.toLocal8Bit();
    const QByteArray reason = notice.reason.toLocal8Bit();
    switch (notice.kind) {
      case Record::Notice::Kind::kNotWritten:
        std::fprintf(stderr, "karvello-cli: the record %s cannot be written: %s\n",
                     path.constData(), reason.constData());
        break;
      case Record::Notice::Kind::kWrittenAgain:
        std::fprintf(stderr,
                     "karvello-cli: the record %s is written again; %lld row(s) were not kept\n",
                     path.constData(), static_cast<long long>(notice.rowsNotKept));
        break;
      case Record::Notice::Kind::kNotRotated:
        std::fprintf(stderr,
                     "karvello-cli: the record %s is past its size limit and cannot be set "
                     "aside: %s; it grows on, keeping every row\n",
                     path.constData(), reason.constData());
        break;
      case Record::Notice::Kind::kRotatedAgain:
        std::fprintf(stderr, "karvello-cli: the record %s is within its size limit again\n",
                     path.constData());
        break;
    }
  });
}

gateway::RecordState OutcomeRecord::Status() const {
  if (!state_) return {};
  return {state_->record.Path(), state_->record.Failed(), state_->record.RowsNotKept()};
}

void OutcomeRecord::Add(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  if (state_) state_->record.Append(outcome, port, when);
}

void OutcomeRecord::AddAlarm(const AlarmChange& change, const std::string& port) {
  if (!state_) return;
  state_->record.Append(RowOf(change, port));
}

void OutcomeRecord::AddRow(const RecordRow& row) {
  if (state_) state_->record.Append(row);
}

// An outage that lasts to the end is counted as the command ends.
OutcomeRecord::~OutcomeRecord() {
  if (!state_ || !state_->record.Failed()) return;
  std::fprintf(stderr, "karvello-cli: %lld row(s) were not kept in the record %s\n",
               static_cast<long long>(state_->record.RowsNotKept()),
               state_->record.Path().toLocal8Bit().constData());
}

}  // namespace karvello::cli
