#pragma once
// karvello-cli history: the record's rows, oldest first, in the command line's formats.

#include <QDateTime>
#include <optional>
#include <string_view>

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "engine/outcome.h"
#include "record/record.h"

namespace karvello::cli {

// Which end of the period a time bounds: a date alone is the start of its day for the one and
// the last millisecond of its day for the other.
enum class PeriodEnd { kSince, kUntil };

// A time as --since and --until take it: an ISO date ("2026-12-07"), an ISO date and time
// ("2026-12-07T18:04", seconds, milliseconds and an offset from UTC or Z as given; without an
// offset, local time), or a whole number then d, h, m or s back from `now` ("7d", "12h").
// None for anything else.
std::optional<QDateTime> ParseHistoryTime(std::string_view text, PeriodEnd end,
                                          const QDateTime& now);

// A record row as the outcome it records, its frames only with `frames` (a refusal's reply
// always); none for an alarm's row.
std::optional<Outcome> OutcomeOf(const RecordRow& row, bool frames);
std::optional<Outcome> OutcomeOf(RecordRow&& row, bool frames);

// Prints the rows of the record at `recordPath` that `run` asks for, oldest first. The status:
// 0, or kRecordUnreadable when (a file of) the record could not be read, which is said on
// standard error.
int PrintHistory(const Invocation& run, const QString& recordPath, Printer& printer);

}  // namespace karvello::cli
