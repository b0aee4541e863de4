#pragma once
// One reading as every front end writes it out. Its fields are described here once; the
// command line's CSV and JSON lines, the record's row and the gateway's messages are made from
// them, so that a value reads the same everywhere ("34.50", "OL", or none).

#include <QDateTime>
#include <string>
#include <string_view>
#include <vector>

#include "engine/outcome.h"

namespace karvello {

// The fields of a reading, in the order they are written: "time,port,address,operation,result,
// value,unit".
struct ReadingFields {
  std::string time;            // TimeText
  std::string port;            // "COM1", "/dev/ttyUSB0", "tcp://10.0.0.7:502"
  int address = 0;             // as requested; 0 for the query of the address
  std::string_view operation;  // "voltage", "read-resistance", ..., or "alarm"
  std::string_view result;     // "answered", "no-reply", ..., or an alarm's state
  std::string value;           // "34.50", "OL", "220", "5"; empty when none
  std::string_view unit;       // "Ω", "V"; empty with no value
};

inline constexpr std::string_view kReadingColumns = "time,port,address,operation,result,value,unit";

// The fields of `outcome`, made at `address` on `port` at `when`.
ReadingFields FieldsOf(const Outcome& outcome, int address, std::string_view port,
                       const QDateTime& when);

// The fields as texts, in their order, for a CSV row.
std::vector<std::string> CsvFields(const ReadingFields& fields);

// The fields as the members of a JSON object, in their order, without the braces:
// "time":"...","port":"...","address":5,...,"value":34.50,"over_range":false,"unit":"Ω". The
// value is always a number (as the detector gave it) or null, so that a reader that stores it
// as a number never meets a string; over range it is null with "over_range":true.
std::string JsonMembers(const ReadingFields& fields);
// The same as a whole object: what --format json prints of a reading, and the gateway publishes.
std::string JsonObjectText(const ReadingFields& fields);
// A value field as a JSON value: the number as it is written; null when empty or over range.
std::string JsonValueText(const std::string& value);
// Whether a value field is over range, as a JSON value: true or false.
std::string JsonOverRangeText(const std::string& value);

// The operation and the states of an alarm's change, as the output, the record and the gateway
// write them.
inline constexpr std::string_view kAlarmOperation = "alarm";
inline constexpr std::string_view kAlarmRaised = "raised";
inline constexpr std::string_view kAlarmCleared = "cleared";

// A detector set aside (it stopped answering: read only now and then) and read every round again,
// as the output and the record write it: operation "set-aside", result "begun" or "ended".
inline constexpr std::string_view kSetAsideOperation = "set-aside";
inline constexpr std::string_view kSetAsideBegun = "begun";
inline constexpr std::string_view kSetAsideEnded = "ended";

// What an alarm is about: the resistance above its limit, or the detector not answering.
enum class AlarmKind { kResistanceLimit, kNoAnswer };
// Its name in the gateway's alarm message: "resistance-limit", "no-answer".
std::string_view AlarmKindName(AlarmKind kind);
// The operation of a no-answer alarm's row in the output and the record.
inline constexpr std::string_view kNoAnswerOperation = "no-answer";

// An alarm raised or cleared by `reading` at `address`: a resistance against `limit` ohms, or
// (no-answer) the reading that made the detector's failures in a row enough, or its answer.
struct AlarmChange {
  Outcome reading;
  int address = 0;
  bool raised = false;
  double limit = 0;  // a resistance limit's only
  QDateTime when;
  AlarmKind kind = AlarmKind::kResistanceLimit;
  bool othersStanding = false;  // an alarm of the other kind stands at the address
};

// The fields of an alarm's change as a row: operation "alarm" (or "no-answer"), its state as the
// result, the reading's value and unit (none for no-answer).
ReadingFields FieldsOf(const AlarmChange& change, std::string_view port);

// The gateway's alarm message: {"time","address","state","value","over_range","limit","kind",
// "standing"}; a no-answer alarm's value and limit are null; "standing": an alarm of either kind
// stands at the address after this change.
std::string AlarmMessageText(const AlarmChange& change);

}  // namespace karvello
