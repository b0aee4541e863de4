#include "cli/cli_record.h"

#ifdef KARVELLO_CLI_RECORD
#include <cstdio>

#include "record/record.h"
#endif

namespace karvello::cli {

#ifdef KARVELLO_CLI_RECORD
// The record library is built: each outcome goes to the record file the window also writes.
struct OutcomeRecord::State {
  Record record{DefaultRecordPath()};
};

OutcomeRecord::OutcomeRecord(bool enabled) {
  if (!enabled) return;
  state_ = std::make_unique<State>();
  state_->record.SetOnFailure([](const QString& path, const QString& reason) {
    std::fprintf(stderr, "karvello-cli: the record %s cannot be written: %s\n", qPrintable(path),
                 qPrintable(reason));
  });
}

void OutcomeRecord::Add(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  if (state_) state_->record.Append(outcome, port, when);
}
#else
// RECORD HOOK: without the record library (src/record) in the build, outcomes are not recorded.
// Once the library is in the build (add_subdirectory(record) before cli), src/cli/CMakeLists.txt
// links it and defines KARVELLO_CLI_RECORD.
struct OutcomeRecord::State {};

OutcomeRecord::OutcomeRecord(bool) {}

void OutcomeRecord::Add(const Outcome&, const std::string&, const QDateTime&) {}
#endif

OutcomeRecord::~OutcomeRecord() = default;

}  // namespace karvello::cli
