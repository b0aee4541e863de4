#pragma once
// One row of the record, typed: the outcome of an operation, or the change of an alarm. Rows are
// made from outcomes and alarm changes, written as CSV lines (record_format.h reads them back),
// and read by every front end through these fields, never through the texts of the file.

#include <QDateTime>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/operations.h"
#include "engine/outcome.h"
#include "present/reading_fields.h"

namespace karvello {

struct RecordRow {
  enum class Kind {
    kOutcome,  // an operation's outcome: operation "voltage", "resistance", ...
    kAlarm,    // an alarm raised or cleared: operation "alarm", or "no-answer"
    kSetAside,  // a detector set aside, or read every round again: operation "set-aside"
  };
  Kind kind = Kind::kOutcome;
  // An alarm's: "alarm" is a resistance limit's (as every alarm of an older record), "no-answer"
  // the other.
  AlarmKind alarmKind = AlarmKind::kResistanceLimit;
  QDateTime time;    // local time, with its offset from UTC
  std::string port;  // "COM1", or the device
  int address = 0;   // as requested, 0 to 255; 0 for the query of the address
  // The operation; for an alarm that of the resistance reading that changed it (the record does
  // not say which of the two, so an alarm read back holds kQueryResistance).
  Operation operation = Operation::kQueryVoltage;
  Result result = Result::kAnswered;  // an alarm's reading: kAnswered
  bool raised = false;  // an alarm's state: raised, or cleared; set aside: begun, or ended
  // The value as the detector gave it (34.5 as 345 with 1 decimal, over range, 220 V), with
  // kAnswered only; a resistance limit's alarm's is the reading's.
  std::optional<Reading> value;
  bool again = false;  // a late or repeated reply of an operation that had ended
  std::vector<std::vector<std::uint8_t>> sent;  // the frames sent, as they crossed the wire
  std::vector<std::uint8_t> reply;              // the bytes judged
  bool operator==(const RecordRow&) const = default;
};

// The row of `outcome`, which happened on `port` at `when`.
RecordRow RowOf(const Outcome& outcome, const std::string& port, const QDateTime& when);
// The row of an alarm's change on `port`: the reading's value, no frames.
RecordRow RowOf(const AlarmChange& change, const std::string& port);

// The row of the detector at `address` set aside (`aside`) or read every round again.
RecordRow SetAsideRow(int address, bool aside, const std::string& port, const QDateTime& when);

// The outcome a row of that kind records (an alarm's: its reading's).
Outcome OutcomeOf(const RecordRow& row);

// The row's fields as the file and every export write them: "voltage" or "alarm"; "answered",
// or "raised"; "34.5", "OL", "220", "5" or empty; "Ω", "V" or empty; frames in hex joined by
// " | ", and the reply in hex.
std::string_view OperationText(const RecordRow& row);
std::string_view ResultText(const RecordRow& row);
std::string ValueText(const RecordRow& row);
std::string_view UnitText(const RecordRow& row);
std::string SentText(const RecordRow& row);

// The value field of a reading as the record writes it ("34.5", "OL", "220", "5") read back; none
// when it is no such value. It says nothing of whether the value fits its quantity.
std::optional<Reading> ReadingOf(std::string_view value);

// Whether a value can be what a detector gave for `quantity`: registers of 16 bits, an address
// from 0 to 255, a resistance with at most 2 decimals or over range, whole volts.
bool FitsQuantity(const Reading& value, Quantity quantity);

// Whether the row's fields agree as Karvello writes them: the address from 0 to 255 (0 only for
// the query of the address and a request not sent), a value exactly when an answer carries one
// and fitting its quantity, a resistance limit's alarm's reading a value, none for the others.
bool Consistent(const RecordRow& row);

}  // namespace karvello
