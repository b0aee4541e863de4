#include "cli/cli_history.h"

#include <QTimeZone>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "framing/frame_text.h"

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
  const auto operation = OperationNamed(row.operation);
  const auto result = ResultNamed(row.result);
  if (!operation || !result) return std::nullopt;
  Outcome outcome{.operation = *operation,
                  .address = static_cast<std::uint8_t>(row.address),
                  .sent = {},
                  .reply = {},
                  .result = *result,
                  .value = row.value.empty() ? std::nullopt : ReadingOf(row.value),
                  .again = row.again};
  // A refusal's words hold the exception code, from the reply.
  if (frames || outcome.result == Result::kRefused) {
    outcome.reply = BytesOfHexText(row.reply).value_or(std::vector<std::uint8_t>{});
  }
  if (!frames) return outcome;
  // The frames, joined by " | ".
  std::string_view sent = row.sent;
  while (!sent.empty()) {
    const std::size_t bar = sent.find(" | ");
    // An RTU frame, or an MBAP one over Modbus TCP.
    auto bytes = BytesOfHexText(sent.substr(0, bar));
    if (bytes && bytes->size() >= kRequestFrameSize) outcome.sent.push_back(std::move(*bytes));
    if (bar == std::string_view::npos) break;
    sent.remove_prefix(bar + 3);
  }
  return outcome;
}

int PrintHistory(const Invocation& run, const QString& recordPath, Printer& printer) {
  RecordQuery query;
  query.from = run.since;
  query.to = run.until;
  query.addresses = std::set<int>(run.addresses.begin(), run.addresses.end());
  query.operations = std::set<Operation>(run.operations.begin(), run.operations.end());
  QString problem;
  std::vector<RecordRow> rows = Record::Read(recordPath, query, &problem);
  // In the order they were made: programs on one machine append in turn, but the old files and
  // rows of several programs need not be in the order of their times. Mostly they are, and then
  // nothing is moved.
  std::vector<qint64> times(rows.size());
  std::vector<std::size_t> order(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    times[i] = rows[i].time.toMSecsSinceEpoch();
    order[i] = i;
  }
  if (!std::is_sorted(times.begin(), times.end())) {
    std::stable_sort(order.begin(), order.end(),
                     [&times](std::size_t a, std::size_t b) { return times[a] < times[b]; });
  }
  printer.Buffered();
  printer.Begin();
  std::size_t printed = 0;
  for (const std::size_t i : order) {
    const RecordRow& row = rows[i];
    const auto outcome = OutcomeOf(row, run.verbose);
    if (!outcome) continue;
    printer.Print(*outcome, row.address, row.port, row.time, true);
    ++printed;
  }
  if (printed == 0) printer.Note("nothing recorded");
  if (!problem.isEmpty()) {
    std::fprintf(stderr, "karvello-cli: the record cannot be read: %s\n", qPrintable(problem));
    return kRecordUnreadable;
  }
  return kAnswered;
}

}  // namespace karvello::cli
