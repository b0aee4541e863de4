#include "cli/cli_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framing/frame_text.h"
#include "framing/mbap.h"
#include "present/json_text.h"
#include "present/limit_text.h"
#include "present/result_words.h"
#include "present/times.h"
#include "record/csv.h"
#include "record/record.h"

namespace karvello::cli {
namespace {

// The exit status each result gives.
struct ResultStatus {
  Result result;
  ExitStatus status;
};
constexpr ResultStatus kResultStatuses[] = {
    {Result::kAnswered, kAnswered},   {Result::kRefused, kRefused},
    {Result::kWrongReply, kBadReply}, {Result::kCorrupt, kBadReply},
    {Result::kNoReply, kNoReply},     {Result::kLineLost, kPortUnavailable},
    {Result::kNotSent, kUsage},
};

// A reply that came after its operation had ended: never one more reading.
constexpr std::string_view kAgainMark = "  (again: a late or repeated reply)";

std::string StampText(const QDateTime& when, int address, std::string_view operation,
                      std::string_view port = {}) {
  return DisplayTimeText(when) + (port.empty() ? "" : "  " + std::string(port)) + "  address " +
         std::to_string(address) + "  " + std::string(operation) + "  ";
}

}  // namespace

std::string PlainText(const Outcome& outcome) {
  if (outcome.result == Result::kAnswered && outcome.value) {
    return AnswerForm(outcome.operation).words(*outcome.value);
  }
  std::string words(EnglishWords(outcome.result));
  if (outcome.result == Result::kNoReply) {
    // A gateway that answered for the detector behind it: its words beside.
    if (const auto code = RefusalCode(outcome.reply); code && !GatewayWords(*code).empty()) {
      return std::string(kNoReplyThroughGateway) +
             " (the gateway: " + std::string(GatewayWords(*code)) + ")";
    }
  }
  if (outcome.result == Result::kRefused) {
    if (const auto code = RefusalCode(outcome.reply)) {
      words += " (exception " + FormatHexByte(*code) + ")";
    }
  }
  return words;
}

ExitStatus StatusOf(Result result) {
  for (const ResultStatus& entry : kResultStatuses) {
    if (entry.result == result) return entry.status;
  }
  return kUsage;
}

ExitStatus MostTelling(ExitStatus a, ExitStatus b) {
  constexpr ExitStatus kOrder[] = {kNoReply, kPortUnavailable, kBadReply, kRefused};
  const auto rank = [&](ExitStatus status) { return std::find(kOrder, std::end(kOrder), status); };
  const auto ra = rank(a);
  const auto rb = rank(b);
  if (ra == std::end(kOrder)) return b;
  if (rb == std::end(kOrder)) return a;
  return ra < rb ? b : a;
}

void Printer::Begin() {
  if (format_ != Format::kCsv) return;
  Write(std::string(kReadingColumns) + (verbose_ ? ",sent,received\n" : "\n"));
}

void Printer::Print(const Outcome& outcome, int address, std::string_view port,
                    const QDateTime& when, bool stamped) {
  if (format_ == Format::kPlain) {
    Write((stamped ? StampText(when, address, Describe(outcome.operation).name,
                               showPort_ ? port : std::string_view())
                   : std::string()) +
          PlainText(outcome) + (outcome.again ? std::string(kAgainMark) : std::string()) + "\n");
    PrintFrames(outcome);
    return;
  }
  const ReadingFields fields = FieldsOf(outcome, address, port, when);
  switch (format_) {
    case Format::kPlain:
      return;
    case Format::kCsv: {
      std::vector<std::string> row = CsvFields(fields);
      row[1] = SpreadsheetText(row[1]);  // the port: the one field that may hold any text
      if (verbose_) {
        row.push_back(SentText(RowOf(outcome, {}, {})));
        row.push_back(HexText(outcome.reply));
      }
      Write(CsvLine(row, "\n"));
      return;
    }
    case Format::kJson: {
      std::string line = "{" + JsonMembers(fields);
      if (outcome.again) line += ",\"again\":true";
      if (verbose_) {
        line += ",\"sent\":[";
        for (std::size_t i = 0; i < outcome.sent.size(); ++i) {
          line += (i ? "," : "") + JsonString(HexText(outcome.sent[i]));
        }
        line += "],\"received\":" + JsonString(HexText(outcome.reply));
      }
      Write(line + "}\n");
      return;
    }
  }
}

void Printer::PrintAlarm(const AlarmChange& change, std::string_view port) {
  const ReadingFields fields = FieldsOf(change, port);
  switch (format_) {
    case Format::kPlain:
      if (change.kind == AlarmKind::kNoAnswer) {
        Write(StampText(change.when, change.address, kNoAnswerOperation) +
              std::string(fields.result) + ": " + PlainText(change.reading) + "\n");
        return;
      }
      Write(StampText(change.when, change.address, kAlarmOperation) + std::string(fields.result) +
            ": " + PlainText(change.reading) + (change.raised ? ", above " : ", not above ") +
            LimitText(change.limit) + " " + std::string(fields.unit) + "\n");
      return;
    case Format::kCsv:
      WriteFramelessCsv(fields);
      return;
    case Format::kJson:
      Write("{" + JsonMembers(fields) + ",\"limit\":" +
            (change.kind == AlarmKind::kNoAnswer ? std::string("null") : LimitText(change.limit)) +
            "}\n");
      return;
  }
}

void Printer::PrintSetAside(int address, bool aside, std::string_view port, const QDateTime& when) {
  ReadingFields fields;
  fields.time = TimeText(when);
  fields.port = std::string(port);
  fields.address = address;
  fields.operation = kSetAsideOperation;
  fields.result = aside ? kSetAsideBegun : kSetAsideEnded;
  switch (format_) {
    case Format::kPlain:
      Write(StampText(when, address, kSetAsideOperation, showPort_ ? port : std::string_view()) +
            std::string(fields.result) +
            (aside ? ": not answering; read only now and then until it answers\n"
                   : ": answering again; read every round\n"));
      return;
    case Format::kCsv:
      WriteFramelessCsv(fields);
      return;
    case Format::kJson:
      Write("{" + JsonMembers(fields) + "}\n");
      return;
  }
}

void Printer::PrintRecordedAlarm(const AlarmChange& change, std::string_view port) {
  if (format_ == Format::kPlain) {
    const ReadingFields fields = FieldsOf(change, port);
    Write(StampText(change.when, change.address,
                    change.kind == AlarmKind::kNoAnswer ? kNoAnswerOperation : kAlarmOperation,
                    showPort_ ? port : std::string_view()) +
          std::string(fields.result) + ": " + PlainText(change.reading) + "\n");
    return;
  }
  if (format_ == Format::kJson) {
    Write("{" + JsonMembers(FieldsOf(change, port)) + "}\n");
    return;
  }
  PrintAlarm(change, port);  // CSV has no column for the limit
}

// A CSV row of a change without frames (an alarm, a detector set aside): the frames' columns of
// the verbose format left empty.
void Printer::WriteFramelessCsv(const ReadingFields& fields) {
  std::vector<std::string> row = CsvFields(fields);
  row[1] = SpreadsheetText(row[1]);  // the port: the one field that may hold any text
  if (verbose_) row.insert(row.end(), 2, std::string());
  Write(CsvLine(row, "\n"));
}

void Printer::PrintFrames(const Outcome& outcome) {
  if (format_ != Format::kPlain || !verbose_) return;
  std::string lines;
  for (std::size_t i = 0; i < outcome.sent.size(); ++i) {
    lines += outcome.sent.size() > 1 ? "  sent " + std::to_string(i + 1) + ": " : "  sent: ";
    lines += HexText(outcome.sent[i]) + "\n";
  }
  if (!outcome.reply.empty()) lines += "  received: " + HexText(outcome.reply) + "\n";
  Write(lines);
}

void Printer::Note(std::string_view text) {
  if (format_ == Format::kPlain) Write(std::string(text) + "\n");
}

void Printer::Write(const std::string& text) {
  if (Failed()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size()) {
    error_ = errno != 0 ? errno : EIO;
    return;
  }
  if (flushEachLine_) Flush();
}

void Printer::Flush() {
  if (Failed()) return;
  errno = 0;
  if (std::fflush(out_) != 0) error_ = errno != 0 ? errno : EIO;
}

bool Printer::Closed() const {
  return error_ == EPIPE;
}

std::string Printer::FailureText() const {
  return std::strerror(error_);
}

}  // namespace karvello::cli
