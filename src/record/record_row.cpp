#include "record/record_row.h"

#include <charconv>

#include "framing/frame_text.h"

namespace karvello {
namespace {

// A register holds 16 bits; an address is a byte.
constexpr unsigned kLargestRegister = 65535;
constexpr int kLargestAddress = 255;
// The detector gives a resistance with 0, 1 or 2 decimals.
constexpr unsigned kMostDecimals = 2;

// The value as the record writes it: the form of its quantity, so that a value read back is the
// one written ("OL" whatever its decimals, a start of a measurement none).
std::optional<Reading> RecordedValue(const Outcome& outcome) {
  const std::string field = ValueField(outcome);
  if (field.empty()) return std::nullopt;
  return ReadingOf(field);
}

}  // namespace

RecordRow RowOf(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  RecordRow row;
  row.time = when;
  row.port = port;
  row.address = outcome.address;
  row.operation = outcome.operation;
  row.result = outcome.result;
  row.value = RecordedValue(outcome);
  row.again = outcome.again;
  row.sent = outcome.sent;
  row.reply = outcome.reply;
  return row;
}

RecordRow RowOf(const AlarmChange& change, const std::string& port) {
  RecordRow row;
  row.kind = RecordRow::Kind::kAlarm;
  row.time = change.when;
  row.port = port;
  row.address = change.address;
  row.operation = Operation::kQueryResistance;
  row.result = Result::kAnswered;
  row.raised = change.raised;
  row.alarmKind = change.kind;
  if (change.kind == AlarmKind::kResistanceLimit) row.value = RecordedValue(change.reading);
  return row;
}

RecordRow SetAsideRow(int address, bool aside, const std::string& port, const QDateTime& when) {
  RecordRow row;
  row.kind = RecordRow::Kind::kSetAside;
  row.time = when;
  row.port = port;
  row.address = address;
  row.operation = Operation::kQueryResistance;
  row.raised = aside;
  return row;
}

Outcome OutcomeOf(const RecordRow& row) {
  return Outcome{.operation = row.operation,
                 .address = static_cast<std::uint8_t>(row.address),
                 .sent = row.sent,
                 .reply = row.reply,
                 .result = row.result,
                 .value = row.value,
                 .again = row.again};
}

std::string_view OperationText(const RecordRow& row) {
  switch (row.kind) {
    case RecordRow::Kind::kOutcome:
      break;
    case RecordRow::Kind::kAlarm:
      return row.alarmKind == AlarmKind::kNoAnswer ? kNoAnswerOperation : kAlarmOperation;
    case RecordRow::Kind::kSetAside:
      return kSetAsideOperation;
  }
  return Describe(row.operation).name;
}

std::string_view ResultText(const RecordRow& row) {
  switch (row.kind) {
    case RecordRow::Kind::kOutcome:
      break;
    case RecordRow::Kind::kAlarm:
      return row.raised ? kAlarmRaised : kAlarmCleared;
    case RecordRow::Kind::kSetAside:
      return row.raised ? kSetAsideBegun : kSetAsideEnded;
  }
  return ResultName(row.result);
}

std::string ValueText(const RecordRow& row) {
  return row.value ? AnswerForm(row.operation).field(*row.value) : std::string();
}

std::string_view UnitText(const RecordRow& row) {
  return row.value ? AnswerForm(row.operation).unit : std::string_view();
}

std::string SentText(const RecordRow& row) {
  std::string text;
  for (const auto& frame : row.sent) {
    if (!text.empty()) text += " | ";
    text += HexText(frame);
  }
  return text;
}

std::optional<Reading> ReadingOf(std::string_view field) {
  if (field == kOverRangeMark) return Reading{0, 0, true};
  const std::size_t point = field.find('.');
  const std::string_view whole = field.substr(0, point);
  const std::string_view part =
      point == std::string_view::npos ? std::string_view() : field.substr(point + 1);
  if (whole.empty() || (point != std::string_view::npos && part.empty())) return std::nullopt;
  unsigned number = 0;
  for (const std::string_view digits : {whole, part}) {
    for (const char c : digits) {
      if (c < '0' || c > '9' || number > (~0U - 9) / 10) return std::nullopt;
      number = number * 10 + static_cast<unsigned>(c - '0');
    }
  }
  return Reading{number, static_cast<unsigned>(part.size()), false};
}

bool FitsQuantity(const Reading& value, Quantity quantity) {
  switch (quantity) {
    case Quantity::kNone:
      return false;
    case Quantity::kAddress:
      return !value.overRange && value.decimals == 0 &&
             value.number <= static_cast<unsigned>(kLargestAddress);
    case Quantity::kResistance:
      return value.overRange || (value.decimals <= kMostDecimals && value.number <= kLargestRegister);
    case Quantity::kVoltage:
      return !value.overRange && value.decimals == 0 && value.number <= kLargestRegister;
  }
  return false;
}

bool Consistent(const RecordRow& row) {
  if (row.address < 0 || row.address > kLargestAddress) return false;
  if (row.address == 0 && row.operation != Operation::kQueryAddress &&
      row.result != Result::kNotSent) {
    return false;
  }
  const Quantity quantity = Describe(row.operation).quantity;
  if (row.kind != RecordRow::Kind::kOutcome) {
    // An alarm or a detector set aside: its own kind of row, the result of no reading.
    if (quantity != Quantity::kResistance || row.result != Result::kAnswered || row.again) {
      return false;
    }
    if (row.kind == RecordRow::Kind::kAlarm && row.alarmKind == AlarmKind::kResistanceLimit) {
      return row.value && FitsQuantity(*row.value, quantity);
    }
    return !row.value;
  }
  // An answer carries its value when its operation gives one; nothing else carries a value.
  const bool valued = row.result == Result::kAnswered && quantity != Quantity::kNone;
  if (valued != row.value.has_value()) return false;
  return !row.value || FitsQuantity(*row.value, quantity);
}

}  // namespace karvello
