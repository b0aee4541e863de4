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

OutcomeRecord::~OutcomeRecord() = default;

}  // namespace karvello::cli
