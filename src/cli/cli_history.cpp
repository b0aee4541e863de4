#include "cli/cli_history.h"

#include <QTimeZone>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>

#include "framing/frame_text.h"
#include "record/record_read.h"

namespace karvello::cli {
namespace {

// A time back from now has no bound but its nine digits (a watch's interval has).
constexpr auto kLongestBack = std::chrono::milliseconds::max();

// "7d", "12h", "30m", "45s": the time back from now.
std::optional<std::chrono::milliseconds> Back(std::string_view text) {
  if (text.size() > 1 && text.back() == 'd') {
    const std::string_view digits = text.substr(0, text.size() - 1);
    if (const auto hours = ParseDuration(std::string(digits) + "h", kLongestBack)) {
      return *hours * 24;
    }
    return std::nullopt;
  }
  if (text.ends_with("ms")) return std::nullopt;  // a time back from now is not in milliseconds
  return ParseDuration(text, kLongestBack);
}

}  // namespace

std::optional<QDateTime> ParseHistoryTime(std::string_view text, PeriodEnd end,
                                          const QDateTime& now) {
  if (const auto back = Back(text)) return now.addMSecs(-back->count());
  QString given = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (given.size() == 10) {
    const QDate date = QDate::fromString(given, Qt::ISODate);
    if (!date.isValid()) return std::nullopt;
    return end == PeriodEnd::kSince ? date.startOfDay() : date.endOfDay();
  }
  // "2026-12-07 18:04" as well as "2026-12-07T18:04".
  if (given.size() > 10 && given[10] == ' ') given[10] = 'T';
  if (given.size() < 16 || given[10] != 'T') return std::nullopt;
  const QDateTime time = QDateTime::fromString(given, Qt::ISODateWithMs);
  if (!time.isValid()) return std::nullopt;
  return time;
}

std::optional<Outcome> OutcomeOf(const RecordRow& row, bool frames) {
  return OutcomeOf(RecordRow(row), frames);
}

std::optional<Outcome> OutcomeOf(RecordRow&& row, bool frames) {
  // An alarm, a detector set aside: no outcome.
  if (row.kind != RecordRow::Kind::kOutcome) return std::nullopt;
  Outcome outcome{.operation = row.operation,
                  .address = static_cast<std::uint8_t>(row.address),
                  .sent = {},
                  .reply = {},
                  .result = row.result,
                  .value = row.value,
                  .again = row.again};
  // A refusal's words hold the exception code, from the reply.
  if (frames || outcome.result == Result::kRefused) outcome.reply = std::move(row.reply);
  if (!frames) return outcome;
  // An RTU frame, or an MBAP one over Modbus TCP; none shorter than a request.
  for (auto& frame : row.sent) {
    if (frame.size() >= kRequestFrameSize) outcome.sent.push_back(std::move(frame));
  }
  return outcome;
}

namespace {

// The record's query of `run`: its period and addresses; its operations, none for the alarms
// (the reader leaves alarms out of a query of operations).
RecordQuery QueryOf(const Invocation& run) {
  RecordQuery query;
  query.from = run.since;
  query.to = run.until;
  query.addresses = std::set<int>(run.addresses.begin(), run.addresses.end());
  if (!run.alarms) query.operations = std::set<Operation>(run.operations.begin(), run.operations.end());
  return query;
}

// Whether `row` is one `run` asks for beyond its query: of its port (-p) and of its kind.
bool Wanted(const Invocation& run, const RecordRow& row) {
  if (run.port && row.port != run.port->text) return false;
  return run.alarms == (row.kind == RecordRow::Kind::kAlarm);
}

// The ports of the rows `run` asks for, at most two: enough to know whether there is more than
// one. A second reading of the record, in the same bounded memory.
std::set<std::string> PortsOf(const Invocation& run, const QString& recordPath) {
  std::set<std::string> ports;
  ReadRecordRows(recordPath, QueryOf(run), [&](RecordRow&& row) {
    if (ports.size() < 2 && Wanted(run, row)) ports.insert(row.port);
  });
  return ports;
}

}  // namespace

int PrintHistory(const Invocation& run, const QString& recordPath, Printer& printer) {
  // A person reading the rows of several ports is shown each row's port.
  if (printer.format() == Format::kPlain && !run.port) {
    printer.ShowPort(PortsOf(run, recordPath).size() > 1);
  }
  printer.Buffered();
  printer.Begin();
  std::size_t printed = 0;
  // Printed as they are read, in the order they were made: programs on one machine append in
  // turn, but the old files and rows of several programs need not be quite in the order of their
  // times.
  TimeOrder inOrder([&](RecordRow&& row) {
    if (!Wanted(run, row)) return;
    const QDateTime time = row.time;
    const std::string port = std::move(row.port);
    const int address = row.address;
    if (row.kind == RecordRow::Kind::kSetAside) {
      printer.PrintSetAside(address, row.raised, port, time);
      ++printed;
      return;
    }
    if (row.kind == RecordRow::Kind::kAlarm) {
      printer.PrintRecordedAlarm(AlarmChange{.reading = karvello::OutcomeOf(row),
                                             .address = address,
                                             .raised = row.raised,
                                             .limit = 0,
                                             .when = time,
                                             .kind = row.alarmKind},
                                 port);
      ++printed;
      return;
    }
    const auto outcome = OutcomeOf(std::move(row), run.verbose);
    if (!outcome) return;
    printer.Print(*outcome, address, port, time, true);
    ++printed;
  });
  const ReadReport report = ReadRecordRows(recordPath, QueryOf(run),
                                           [&inOrder](RecordRow&& row) { inOrder.Add(std::move(row)); });
  inOrder.Flush();
  // The file read is named, so that a reader of another's record sees which one it was (CSV and
  // JSON stay rows alone, for the programs that read them).
  if (printed == 0) printer.Note("nothing recorded in " + recordPath.toStdString());
  if (report.damaged > 0) {
    printer.Flush();
    std::fprintf(stderr, "karvello-cli: %lld damaged line(s) of the record were not read\n",
                 static_cast<long long>(report.damaged));
  }
  if (!report.problem.isEmpty()) {
    std::fprintf(stderr, "karvello-cli: the record cannot be read: %s\n",
                 qPrintable(report.problem));
    return kRecordUnreadable;
  }
  return kAnswered;
}

}  // namespace karvello::cli
