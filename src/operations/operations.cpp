#include "operations/operations.h"

#include "operations/address_box.h"
#include "operations/log_texts.h"
#include "operations/reports.h"

namespace karvello {

Operations::Operations(SerialLine& line, WindowTexts& texts) : line_(line), texts_(texts) {
  for (const ClockTiming& timing : kClocks) {
    auto clock = std::make_unique<Countdown>(timing.interval, timing.limit);
    if (timing.timesOut) {
      clock->SetOnRunOut([this, &timing] { OnTimeOut(timing.clock, *timing.timesOut); });
    }
    clock->SetOnTick([this] { Notify(); });
    clocks_[static_cast<std::size_t>(timing.clock)] = std::move(clock);
  }
  // A delay runs out into the next step of its operation.
  for (const Step& step : Steps()) {
    if (step.next) {
      CountdownOf(step.starts).SetOnRunOut([this, next = *step.next] { SendCommand(next); });
    }
  }
  line_.SetOnReceived([this](const Received& received) { OnReceived(received); });
  line_.SetOnLost([this] { OnLineLost(); });
}

Operations::~Operations() {
  line_.SetOnReceived(nullptr);
  line_.SetOnLost(nullptr);
}

void Operations::SetAddress() {
  const auto address = NewDeviceAddress(texts_.AddressText());
  if (!address) {
    // A broadcast write re-addresses every detector on the line: only a real address goes.
    pending_ = StepId::kBroadcastAddress;
    texts_.SetLogText(std::string(text::kSetFailed));
    Notify();
    return;
  }
  TransactionOf(Operation::kSetAddress).address = *address;
  SendCommand(StepId::kBroadcastAddress);
}

void Operations::QueryAddress() {
  SendCommand(StepId::kQueryAddress);
}

void Operations::QueryResistance() {
  const std::string box = texts_.AddressText();
  if (NumericValue(box) == 0) {
    pending_ = StepId::kStartMeasurement;
    texts_.SetLogText(std::string(text::kQueryFailed));
    Notify();
    return;
  }
  TransactionOf(Operation::kQueryResistance).address = SlaveAddress(box);
  SendCommand(StepId::kStartMeasurement);
}

void Operations::QueryVoltage() {
  TransactionOf(Operation::kQueryVoltage).address = SlaveAddress(texts_.AddressText());
  SendCommand(StepId::kQueryVoltage);
}

void Operations::SendCommand(StepId id) {
  const Step& step = StepOf(id);
  if (step.ends) CountdownOf(*step.ends).Stop();
  Transaction& transaction = TransactionOf(step.operation);
  RequestFrame& frame = step.secondOfTwo ? transaction.second : transaction.first;
  frame = FrameOf(step, transaction.address);
  pending_ = id;
  answered_ = false;
  CountdownOf(step.starts).Start();
  if (id == StepId::kStartMeasurement) texts_.SetLogText(std::string(text::kMeasuring));
  // A write that fails (no port open) is not reported: the operation ends by its time-out.
  line_.Send(frame, step.awaitsReply ? std::optional(ReplyShape::For(frame, step.anySlaveAnswers))
                                     : std::nullopt);
  Notify();
}

void Operations::OnReceived(const Received& received) {
  if (!pending_) return;
  const Step& step = StepOf(*pending_);
  if (!step.awaitsReply) return;  // what comes now answers nothing
  const Transaction& transaction = TransactionOf(step.operation);
  const RequestFrame& sent = step.secondOfTwo ? transaction.second : transaction.first;
  switch (received.kind) {
    case Received::Kind::kReply:
      if (Accepts(step, sent, received.bytes)) {
        OnReplyAccepted(step, received.bytes);
        return;
      }
      break;
    case Received::Kind::kRefusal:
    case Received::Kind::kCorrupt:
      break;
    case Received::Kind::kStray:
      // Too short to judge: noise, and the time-out keeps running.
      if (received.bytes.size() < step.judgedFrom) return;
      break;
  }
  // Once the step has its answer, whatever is not another copy of its reply is noise.
  if (answered_) return;
  Fail(step.operation);
  Answered(step);
}

void Operations::OnReplyAccepted(const Step& step, std::span<const std::uint8_t> reply) {
  const Transaction& transaction = TransactionOf(step.operation);
  switch (step.operation) {
    case Operation::kSetAddress:
      texts_.SetLogText(SetAddressReport(transaction.first, transaction.second, reply));
      break;
    case Operation::kQueryAddress:
      texts_.SetLogText(QueryAddressReport(transaction.first, reply));
      texts_.SetAddressText(std::to_string(reply[0]));
      break;
    case Operation::kQueryResistance:
      texts_.SetLogText(ResistanceReport(transaction.first, transaction.second, reply));
      break;
    case Operation::kQueryVoltage:
      texts_.SetLogText(VoltageReport(transaction.first, reply));
      break;
  }
  Answered(step);
}

void Operations::Answered(const Step& step) {
  CountdownOf(step.starts).Stop();
  answered_ = true;
  Notify();
}

void Operations::Fail(Operation operation) {
  texts_.SetLogText(
      std::string(operation == Operation::kSetAddress ? text::kSetFailed : text::kQueryFailed));
}

void Operations::OnTimeOut(Clock clock, Operation operation) {
  Fail(operation);
  CountdownOf(clock).Stop();
  if (pending_ && StepOf(*pending_).operation == operation) answered_ = true;
}

void Operations::OnLineLost() {
  // The operation in flight fails at once rather than at its time-out.
  std::optional<Operation> inFlight;
  for (const Step& step : Steps()) {
    if (!CountdownOf(step.starts).IsRunning()) continue;
    if (!inFlight || (pending_ && StepOf(*pending_).operation == step.operation)) {
      inFlight = step.operation;
    }
  }
  for (auto& clock : clocks_) clock->Stop();
  if (!inFlight) return;
  Fail(*inFlight);
  answered_ = true;
  Notify();
}

void Operations::Notify() {
  if (onStateChanged_) onStateChanged_();
}

}  // namespace karvello
