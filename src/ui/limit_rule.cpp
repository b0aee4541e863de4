#include "ui/limit_rule.h"

#include <algorithm>
#include <map>

namespace karvello {

std::set<int> RaisedOver(const std::vector<RecordRow>& rows, AlarmLimit limit) {
  std::vector<const RecordRow*> readings;
  for (const RecordRow& row : rows) {
    if (row.again || row.result == ResultName(Result::kNotSent)) continue;
    const std::optional<Operation> operation = OperationNamed(row.operation);
    if (operation && Describe(*operation).quantity == Quantity::kResistance) {
      readings.push_back(&row);
    }
  }
  std::stable_sort(readings.begin(), readings.end(),
                   [](const RecordRow* a, const RecordRow* b) { return a->time < b->time; });
  std::map<int, AlarmRule> rules;
  for (const RecordRow* row : readings) {
    AlarmRule& rule = rules.try_emplace(row->address, limit).first->second;
    rule.Take(row->result == ResultName(Result::kAnswered) ? ReadingOf(row->value) : std::nullopt);
  }
  std::set<int> raised;
  for (const auto& [address, rule] : rules) {
    if (rule.Raised()) raised.insert(address);
  }
  return raised;
}

}  // namespace karvello
