#include "cli/cli_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framing/frame_text.h"
#include "framing/mbap.h"
#include "record/csv.h"
#include "record/record.h"

namespace karvello::cli {
namespace {

// What each result is in the command line's words, and the exit status it gives.
struct ResultForm {
  Result result;
  std::string_view words;
  ExitStatus status;
};
constexpr ResultForm kResultForms[] = {
    {Result::kAnswered, "", kAnswered},
    {Result::kRefused, "refused", kRefused},
    {Result::kWrongReply, "wrong reply", kBadReply},
    {Result::kCorrupt, "corrupt reply", kBadReply},
    {Result::kNoReply, "no reply in time", kNoReply},
    {Result::kLineLost, "line lost", kPortUnavailable},
    {Result::kNotSent, "not sent", kUsage},
};

const ResultForm& FormOf(Result result) {
  for (const ResultForm& form : kResultForms) {
    if (form.result == result) return form;
  }
  return kResultForms[std::size(kResultForms) - 1];
}

std::string StampText(const QDateTime& when, int address, std::string_view operation) {
  return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString() + "  address " +
         std::to_string(address) + "  " + std::string(operation) + "  ";
}

// A value field as a JSON value: a number, "OL", or null when empty.
QJsonValue JsonValueOf(const std::string& value) {
  if (value.empty()) return QJsonValue::Null;
  if (value == kOverRangeMark) return QString::fromStdString(value);
  return QByteArray::fromStdString(value).toDouble();
}

// The same as the output writes it: the number as the detector gave it ("34.50", not 34.5).
std::string JsonValueText(const std::string& value) {
  if (value.empty()) return "null";
  return value == kOverRangeMark ? JsonString(value) : value;
}

// The line of --format json that an outcome or an alarm's change begins with: its fields in this
// order, without the closing brace. (Qt's writer would sort the keys and write 34.50 as 34.5.)
std::string JsonFields(const QDateTime& when, std::string_view port, int address,
                       std::string_view operation, std::string_view result,
                       const std::string& value, std::string_view unit) {
  return "{\"time\":" + JsonString(TimeText(when)) + ",\"port\":" + JsonString(port) +
         ",\"address\":" + std::to_string(address) + ",\"operation\":" + JsonString(operation) +
         ",\"result\":" + JsonString(result) + ",\"value\":" + JsonValueText(value) +
         ",\"unit\":" + JsonString(unit);
}

std::string_view UnitOf(const Outcome& outcome, const std::string& value) {
  return value.empty() ? "" : AnswerForm(outcome.operation).unit;
}

}  // namespace

QJsonObject ReadingObject(const Outcome& outcome, int address, std::string_view port,
                          const QDateTime& when) {
  const std::string value = ValueField(outcome);
  return {{"time", QString::fromStdString(TimeText(when))},
          {"port", QString::fromUtf8(port)},
          {"address", address},
          {"operation", QString::fromUtf8(Describe(outcome.operation).name)},
          {"result", QString::fromUtf8(ResultName(outcome.result))},
          {"value", JsonValueOf(value)},
          {"unit", QString::fromUtf8(UnitOf(outcome, value))}};
}

std::string LimitText(double ohms) {
  return QByteArray::number(ohms, 'g', 12).toStdString();
}

QJsonObject AlarmObject(const AlarmChange& change) {
  return {{"time", QString::fromStdString(TimeText(change.when))},
          {"address", change.address},
          {"state", QString::fromUtf8(change.raised ? kAlarmRaised : kAlarmCleared)},
          {"value", JsonValueOf(ValueField(change.reading))},
          {"limit", change.limit}};
}

std::string PlainText(const Outcome& outcome) {
  if (outcome.result == Result::kAnswered && outcome.value) {
    return AnswerForm(outcome.operation).words(*outcome.value);
  }
  std::string words(FormOf(outcome.result).words);
  if (outcome.result == Result::kRefused) {
    if (const auto code = RefusalCode(outcome.reply)) {
      words += " (exception " + FormatHexByte(*code) + ")";
    }
  }
  return words;
}

ExitStatus StatusOf(Result result) {
  return FormOf(result).status;
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

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

void Printer::Begin() {
  if (format_ != Format::kCsv) return;
  Write(verbose_ ? "time,port,address,operation,result,value,unit,sent,received\n"
                 : "time,port,address,operation,result,value,unit\n");
}

void Printer::Print(const Outcome& outcome, int address, std::string_view port,
                    const QDateTime& when, bool stamped) {
  const std::string_view operation = Describe(outcome.operation).name;
  const std::string value = ValueField(outcome);
  const std::string_view unit = UnitOf(outcome, value);
  std::string line;
  switch (format_) {
    case Format::kPlain:
      if (stamped) line = StampText(when, address, operation);
      Write(line + PlainText(outcome) + "\n");
      PrintFrames(outcome);
      return;
    case Format::kCsv: {
      std::vector<std::string> fields = {TimeText(when),
                                         std::string(port),
                                         std::to_string(address),
                                         std::string(operation),
                                         std::string(ResultName(outcome.result)),
                                         value,
                                         std::string(unit)};
      if (verbose_) {
        fields.push_back(RowOf(outcome, {}, {}).sent);
        fields.push_back(HexText(outcome.reply));
      }
      line = CsvLine(fields, "\n");
      break;
    }
    case Format::kJson: {
      line = JsonFields(when, port, address, operation, ResultName(outcome.result), value, unit);
      if (verbose_) {
        line += ",\"sent\":[";
        for (std::size_t i = 0; i < outcome.sent.size(); ++i) {
          line += (i ? "," : "") + JsonString(HexText(outcome.sent[i]));
        }
        line += "],\"received\":" + JsonString(HexText(outcome.reply));
      }
      line += "}\n";
      break;
    }
  }
  Write(line);
}

void Printer::PrintAlarm(const AlarmChange& change, std::string_view port) {
  const std::string_view state = change.raised ? kAlarmRaised : kAlarmCleared;
  const std::string value = ValueField(change.reading);
  const std::string_view unit = AnswerForm(change.reading.operation).unit;
  switch (format_) {
    case Format::kPlain:
      Write(StampText(change.when, change.address, kAlarmOperation) + std::string(state) + ": " +
            PlainText(change.reading) + (change.raised ? ", above " : ", not above ") +
            LimitText(change.limit) + " " + std::string(unit) + "\n");
      return;
    case Format::kCsv: {
      std::vector<std::string> fields = {TimeText(change.when),
                                         std::string(port),
                                         std::to_string(change.address),
                                         std::string(kAlarmOperation),
                                         std::string(state),
                                         value,
                                         std::string(unit)};
      if (verbose_) fields.insert(fields.end(), 2, std::string());
      Write(CsvLine(fields, "\n"));
      return;
    }
    case Format::kJson:
      Write(JsonFields(change.when, port, change.address, kAlarmOperation, state, value, unit) +
            ",\"limit\":" + LimitText(change.limit) + "}\n");
      return;
  }
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
