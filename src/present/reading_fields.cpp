#include "present/reading_fields.h"

#include "engine/operations.h"
#include "present/json_text.h"
#include "present/limit_text.h"
#include "present/times.h"

namespace karvello {

ReadingFields FieldsOf(const Outcome& outcome, int address, std::string_view port,
                       const QDateTime& when) {
  ReadingFields fields;
  fields.time = TimeText(when);
  fields.port = std::string(port);
  fields.address = address;
  fields.operation = Describe(outcome.operation).name;
  fields.result = ResultName(outcome.result);
  fields.value = ValueField(outcome);
  if (!fields.value.empty()) fields.unit = AnswerForm(outcome.operation).unit;
  return fields;
}

ReadingFields FieldsOf(const AlarmChange& change, std::string_view port) {
  ReadingFields fields;
  fields.time = TimeText(change.when);
  fields.port = std::string(port);
  fields.address = change.address;
  fields.result = change.raised ? kAlarmRaised : kAlarmCleared;
  if (change.kind == AlarmKind::kNoAnswer) {
    fields.operation = kNoAnswerOperation;
    return fields;
  }
  fields.operation = kAlarmOperation;
  fields.value = ValueField(change.reading);
  fields.unit = AnswerForm(change.reading.operation).unit;
  return fields;
}

std::string_view AlarmKindName(AlarmKind kind) {
  return kind == AlarmKind::kNoAnswer ? "no-answer" : "resistance-limit";
}

std::vector<std::string> CsvFields(const ReadingFields& fields) {
  return {fields.time,
          fields.port,
          std::to_string(fields.address),
          std::string(fields.operation),
          std::string(fields.result),
          fields.value,
          std::string(fields.unit)};
}

std::string JsonValueText(const std::string& value) {
  return value.empty() || value == kOverRangeMark ? "null" : value;
}

std::string JsonOverRangeText(const std::string& value) {
  return value == kOverRangeMark ? "true" : "false";
}

std::string JsonMembers(const ReadingFields& fields) {
  return "\"time\":" + JsonString(fields.time) + ",\"port\":" + JsonString(fields.port) +
         ",\"address\":" + std::to_string(fields.address) +
         ",\"operation\":" + JsonString(fields.operation) +
         ",\"result\":" + JsonString(fields.result) + ",\"value\":" + JsonValueText(fields.value) +
         ",\"over_range\":" + JsonOverRangeText(fields.value) +
         ",\"unit\":" + JsonString(fields.unit);
}

std::string JsonObjectText(const ReadingFields& fields) {
  return "{" + JsonMembers(fields) + "}";
}

std::string AlarmMessageText(const AlarmChange& change) {
  const bool limited = change.kind == AlarmKind::kResistanceLimit;
  const std::string value = limited ? ValueField(change.reading) : std::string();
  return "{\"time\":" + JsonString(TimeText(change.when)) +
         ",\"address\":" + std::to_string(change.address) +
         ",\"state\":" + JsonString(change.raised ? kAlarmRaised : kAlarmCleared) +
         ",\"value\":" + JsonValueText(value) + ",\"over_range\":" + JsonOverRangeText(value) +
         ",\"limit\":" + (limited ? LimitText(change.limit) : std::string("null")) +
         ",\"kind\":" + JsonString(AlarmKindName(change.kind)) +
         ",\"standing\":" + (change.raised || change.othersStanding ? "true" : "false") + "}";
}

}  // namespace karvello
