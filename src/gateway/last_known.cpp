#include "gateway/last_known.h"

#include "record/record_read.h"

namespace karvello::gateway {

LastKnown ReadLastKnown(const QString& path, const std::string& port,
                        const std::vector<std::uint8_t>& addresses,
                        const std::vector<Operation>& operations, bool alarms,
                        std::int64_t bound) {
  LastKnown known;
  std::set<Quantity> quantities;
  for (const Operation operation : operations) {
    const Quantity quantity = Describe(operation).quantity;
    if (quantity == Quantity::kResistance || quantity == Quantity::kVoltage) {
      quantities.insert(quantity);
    }
  }
  // What is still to find: for each address each quantity's last outcome and last good reading,
  // and its last alarm row.
  std::size_t left = 0;
  std::set<int> alarmFound;
  std::set<int> silenceFound;
  RecordQuery query;
  for (const std::uint8_t address : addresses) {
    if (!query.addresses.insert(address).second) continue;
    left += 2 * quantities.size() + (alarms ? 1 : 0);
  }
  if (left == 0) return known;
  const ReadReport report = ReadRecordBack(
      path, query,
      [&](RecordRow&& row) {
        if (row.port != port) return true;
        // A detector is read every round again at each start; its no-answer alarm stands, when
        // its row is among those read (a silent detector's is newer than its last good reading).
        if (row.kind == RecordRow::Kind::kSetAside) return true;
        if (row.kind == RecordRow::Kind::kAlarm && row.alarmKind == AlarmKind::kNoAnswer) {
          if (silenceFound.insert(row.address).second && row.raised) {
            known.silent.insert(row.address);
          }
          return true;
        }
        if (row.kind == RecordRow::Kind::kAlarm) {
          if (alarms && alarmFound.insert(row.address).second) {
            if (row.raised) known.raised.insert(row.address);
            --left;
          }
          return left > 0;
        }
        const Quantity quantity = Describe(row.operation).quantity;
        // A late reply and a request never sent are no readings.
        if (row.again || row.result == Result::kNotSent || !quantities.contains(quantity)) {
          return true;
        }
        const auto [slot, fresh] = known.readings.try_emplace({row.address, quantity});
        QuantityState& state = slot->second;
        if (fresh) {
          state.lastTime = row.time;
          state.lastResult = row.result;
          if (row.result == Result::kAnswered) state.lastValue = row.value;
          --left;
        }
        if (!state.goodTime && row.result == Result::kAnswered) {
          state.goodTime = row.time;
          state.goodValue = row.value;
          --left;
        }
        return left > 0;
      },
      bound);
  known.damaged = report.damaged;
  known.problem = report.problem;
  return known;
}

void Seed(SiteState& state, const LastKnown& known) {
  for (const auto& [key, reading] : known.readings) state.Seed(key.first, key.second, reading);
}

}  // namespace karvello::gateway
