#include "gateway/site_state.h"

namespace karvello::gateway {
namespace {

// The state of `quantity` in `detector` (const or not); none for another quantity.
template <typename Detector>
auto Slot(Detector& detector, Quantity quantity) -> decltype(&detector.resistance) {
  switch (quantity) {
    case Quantity::kResistance:
      return &detector.resistance;
    case Quantity::kVoltage:
      return &detector.voltage;
    case Quantity::kNone:
    case Quantity::kAddress:
      break;
  }
  return nullptr;
}

// Sets `field` to `value`; whether that changed it.
template <typename T>
bool Replace(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}

}  // namespace

const QuantityState* SiteSnapshot::Find(int address, Quantity quantity) const {
  const auto detector = detectors.find(address);
  if (detector == detectors.end()) return nullptr;
  return Slot(detector->second, quantity);
}

int SiteSnapshot::AlarmsRaised() const {
  int raised = 0;
  for (const auto& [address, detector] : detectors) raised += detector.alarm ? 1 : 0;
  return raised;
}

int SiteSnapshot::NoAnswerRaised() const {
  int raised = 0;
  for (const auto& [address, detector] : detectors) raised += detector.noAnswer ? 1 : 0;
  return raised;
}

SiteState::SiteState(std::string site, QObject* parent) : QObject(parent) {
  state_.site = std::move(site);
  state_.started = QDateTime::currentDateTime();
}

template <typename Change>
void SiteState::Update(Change change) {
  bool changed = false;
  {
    const std::lock_guard lock(mutex_);
    changed = change(state_);
  }
  if (changed) emit Changed();
}

void SiteState::Expect(int address) {
  Update([&](SiteSnapshot& state) { return state.detectors.try_emplace(address).second; });
}

void SiteState::Take(const Outcome& outcome, int address, const QDateTime& when) {
  Update([&](SiteSnapshot& state) {
    DetectorState& detector = state.detectors[address];
    QuantityState* slot = Slot(detector, Describe(outcome.operation).quantity);
    if (!slot) return false;
    slot->lastTime = when;
    slot->lastResult = outcome.result;
    if (outcome.result == Result::kAnswered) {
      slot->lastValue = outcome.value;
      slot->goodTime = when;
      slot->goodValue = outcome.value;
      ++slot->answered;
      slot->failuresInRow = 0;
      detector.failuresInRow = 0;
    } else {
      slot->lastValue.reset();
      ++slot->failed;
      if (slot->failuresInRow < UINT32_MAX) ++slot->failuresInRow;
      if (detector.failuresInRow < UINT32_MAX) ++detector.failuresInRow;
    }
    return true;
  });
}

void SiteState::Seed(int address, Quantity quantity, const QuantityState& known) {
  Update([&](SiteSnapshot& state) {
    QuantityState* slot = Slot(state.detectors[address], quantity);
    if (!slot) return false;
    slot->lastTime = known.lastTime;
    slot->lastResult = known.lastResult;
    slot->lastValue = known.lastValue;
    slot->goodTime = known.goodTime;
    slot->goodValue = known.goodValue;
    return true;
  });
}

void SiteState::SetAlarm(int address, bool raised) {
  Update([&](SiteSnapshot& state) { return Replace(state.detectors[address].alarm, raised); });
}

void SiteState::SetNoAnswer(int address, bool raised) {
  Update([&](SiteSnapshot& state) { return Replace(state.detectors[address].noAnswer, raised); });
}

void SiteState::SetAside(int address, const std::optional<QDateTime>& since) {
  Update([&](SiteSnapshot& state) { return Replace(state.detectors[address].asideSince, since); });
}

void SiteState::SetLine(const LineState& line) {
  Update([&](SiteSnapshot& state) { return Replace(state.line, line); });
}

void SiteState::SetLineOpen(bool open, const QDateTime& when) {
  Update([&](SiteSnapshot& state) {
    if (state.line.open == open) return false;
    state.line.open = open;
    state.line.lostSince = open ? QDateTime() : when;
    return true;
  });
}

void SiteState::SetBroker(const BrokerState& broker) {
  Update([&](SiteSnapshot& state) { return Replace(state.broker, broker); });
}

void SiteState::SetRecord(const RecordState& record) {
  Update([&](SiteSnapshot& state) { return Replace(state.record, record); });
}

SiteSnapshot SiteState::Snapshot() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace karvello::gateway
