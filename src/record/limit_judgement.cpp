#include "record/limit_judgement.h"

#include <algorithm>
#include <map>

namespace karvello {
namespace {

bool IsResistance(const RecordRow& row) {
  return row.kind == RecordRow::Kind::kOutcome &&
         Describe(row.operation).quantity == Quantity::kResistance;
}

}  // namespace

std::set<int> RaisedOver(const std::vector<RecordRow>& rows, AlarmLimit limit) {
  std::vector<const RecordRow*> readings;
  for (const RecordRow& row : rows) {
    if (row.again || row.result == Result::kNotSent) continue;
    if (IsResistance(row)) readings.push_back(&row);
  }
  std::stable_sort(readings.begin(), readings.end(),
                   [](const RecordRow* a, const RecordRow* b) { return a->time < b->time; });
  std::map<int, AlarmRule> rules;
  for (const RecordRow* row : readings) {
    AlarmRule& rule = rules.try_emplace(row->address, limit).first->second;
    rule.Take(row->result == Result::kAnswered ? row->value : std::nullopt);
  }
  std::set<int> raised;
  for (const auto& [address, rule] : rules) {
    if (rule.Raised()) raised.insert(address);
  }
  return raised;
}

bool LimitJudgement::Keep(const RecordRow& row) {
  if (!IsResistance(row)) return false;
  kept_.push_back(row);
  return true;
}

std::set<int> LimitJudgement::Over(const std::vector<RecordRow>& rows) const {
  return limit_ ? RaisedOver(rows, *limit_) : std::set<int>{};
}

std::set<int> LimitJudgement::OverKept(const QDateTime& from, const QDateTime& to) const {
  if (!limit_) return {};
  std::vector<RecordRow> period;
  for (const RecordRow& row : kept_) {
    if (row.time >= from && row.time <= to) period.push_back(row);
  }
  return RaisedOver(period, *limit_);
}

}  // namespace karvello
