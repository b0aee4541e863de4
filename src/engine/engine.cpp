#include "engine/engine.h"

namespace karvello {

Engine::Engine(SerialLine& line) : line_(line) {
  for (Operation operation : kAllOperations) {
    const OperationSteps& steps = Describe(operation);
    Flight& flight = Of(operation);
    // An operation of one request has no delay; its deadline is never started.
    flight.delay = std::make_unique<Deadline>(steps.count > 1 ? steps.steps[0].wait
                                                              : std::chrono::milliseconds(0));
    flight.timeout = std::make_unique<Deadline>(steps.steps[steps.count - 1].wait);
    flight.delay->SetOnExpired([this, operation] { Send(operation, 1); });
    flight.delay->SetOnSecond([this, operation] { Tell(operation); });
    flight.timeout->SetOnExpired([this, operation] { OnTimedOut(operation); });
  }
  line_.SetOnReceived([this](const Received& received) { OnReceived(received); });
  line_.SetOnLost([this] { OnLineLost(); });
}

Engine::~Engine() {
  line_.SetOnReceived(nullptr);
  line_.SetOnLost(nullptr);
}

void Engine::Start(const Request& request) {
  const Operation operation = request.operation;
  Flight& flight = Of(operation);
  const bool needsAddress = operation != Operation::kQueryAddress;
  // A broadcast write of address 0 would leave every detector on the line unreachable.
  const bool valid =
      (!needsAddress || (request.address.has_value() &&
                         (operation != Operation::kSetAddress || *request.address))) &&
      (line_.CarriesBroadcasts() || !SendsBroadcast(operation));
  if (!valid) {
    // Nothing is sent; what the line hands up from now on answers no request of this one.
    last_ = Last{operation, std::nullopt};
    if (onOutcome_) {
      Outcome outcome{};
      outcome.operation = operation;
      outcome.address = request.address.value_or(0);
      outcome.result = Result::kNotSent;
      onOutcome_(outcome);
    }
    return;
  }
  flight.address = needsAddress ? *request.address : 0;
  const OperationSteps& steps = Describe(operation);
  flight.timeout->SetDuration(request.wait.value_or(steps.steps[steps.count - 1].wait));
  Send(operation, 0);
}

void Engine::Send(Operation operation, std::size_t index) {
  Flight& flight = Of(operation);
  const OperationSteps& steps = Describe(operation);
  if (index > 0) flight.delay->Stop();  // the delay ends with the request it leads to
  RequestFrame& frame = flight.frames[index];
  frame = FrameOf(operation, index, flight.address);
  flight.sent = index + 1;
  last_ = Last{operation, index};
  const bool delayFollows = index + 1 < steps.count;
  flight.phase = delayFollows ? Phase::kDelaying : Phase::kAwaiting;
  (delayFollows ? flight.delay : flight.timeout)->Start();
  Tell(operation, index);
  line_.Send(frame, AwaitedReply(operation, index, frame));
  flight.onWire[index] = line_.SentOnWire();
}

void Engine::OnReceived(const Received& received) {
  if (!last_ || !last_->step) return;
  const Operation operation = last_->operation;
  const std::size_t index = *last_->step;
  const OperationSteps& steps = Describe(operation);
  const RequestStep& step = steps.steps[index];
  Flight& flight = Of(operation);
  if (!step.awaitsReply) {
    // What comes now answers nothing, but for the detector's refusal of the request.
    if (step.endsOnRefusal && received.kind == Received::Kind::kRefusal &&
        flight.phase == Phase::kDelaying) {
      flight.delay->Stop();
      flight.phase = Phase::kAwaiting;  // ended now, by the refusal
      End(operation, Result::kRefused, received.OnWire());
    }
    return;
  }
  Result result = Result::kCorrupt;
  switch (received.kind) {
    case Received::Kind::kReply:
      if (step.accepts(flight.frames[index], received.bytes)) {
        // Also after the operation has ended: a late reply, or another copy of it.
        End(operation, Result::kAnswered, received.OnWire(), steps.read(received.bytes));
        return;
      }
      result = Result::kWrongReply;
      break;
    case Received::Kind::kRefusal:
      result = Result::kRefused;
      break;
    case Received::Kind::kCorrupt:
      break;
    case Received::Kind::kStray:
      // Too short to judge: noise, and the time-out keeps running.
      if (received.bytes.size() < step.judgedFrom) return;
      break;
  }
  // Once the operation has ended, whatever is not another copy of its reply is noise.
  if (flight.phase == Phase::kEnded) return;
  End(operation, result, received.OnWire());
}

void Engine::End(Operation operation, Result result, std::span<const std::uint8_t> reply,
                 std::optional<Reading> value) {
  Flight& flight = Of(operation);
  flight.timeout->Stop();
  const bool again = flight.phase == Phase::kEnded;
  // A time-out that runs out while a new run waits out its delay leaves that run going.
  if (flight.phase != Phase::kDelaying) flight.phase = Phase::kEnded;
  if (onOutcome_) {
    onOutcome_(
        Outcome{.operation = operation,
                .address = flight.address,
                .sent = std::vector<std::vector<std::uint8_t>>(
                    flight.onWire.begin(), flight.onWire.begin() + static_cast<long>(flight.sent)),
                .reply = std::vector<std::uint8_t>(reply.begin(), reply.end()),
                .result = result,
                .value = value,
                .again = again});
  }
  Tell(operation);
}

void Engine::OnTimedOut(Operation operation) {
  // What came for the request sent last and could not be its reply (a Modbus TCP answer of
  // another transaction, or with a broken header) shows a line that answers, though not rightly.
  if (last_ && last_->operation == operation && last_->step) {
    const std::vector<std::uint8_t> unanswered = line_.Unanswered();
    if (!unanswered.empty()) return End(operation, Result::kCorrupt, unanswered);
  }
  End(operation, Result::kNoReply, {});
}

void Engine::OnLineLost() {
  // Every operation in flight ends at once rather than at its time-out; the one of the request
  // sent last ends last.
  std::vector<Operation> inFlight;
  for (Operation operation : kAllOperations) {
    if (!InFlight(operation)) continue;
    if (last_ && last_->operation == operation) continue;
    inFlight.push_back(operation);
  }
  if (last_ && InFlight(last_->operation)) inFlight.push_back(last_->operation);
  for (Flight& flight : flights_) {
    flight.delay->Stop();
    flight.timeout->Stop();
  }
  for (Operation operation : inFlight) {
    Of(operation).phase = Phase::kAwaiting;  // ended now, not before
    End(operation, Result::kLineLost, {});
  }
  if (onLineLost_) onLineLost_();
}

void Engine::Cancel(Operation operation) {
  if (!InFlight(operation)) return;
  Flight& flight = Of(operation);
  flight.delay->Stop();
  flight.timeout->Stop();
  flight.phase = Phase::kEnded;
  if (last_ && last_->operation == operation) last_->step.reset();
  Tell(operation);
}

void Engine::RunOut(Operation operation, Wait wait) {
  (wait == Wait::kDelay ? Of(operation).delay : Of(operation).timeout)->Expire();
}

Progress Engine::ProgressOf(Operation operation) const {
  const Flight& flight = Of(operation);
  Progress progress{};
  progress.operation = operation;
  progress.phase = flight.phase;
  progress.elapsed = flight.delay->Elapsed();
  if (flight.phase == Phase::kDelaying) progress.delay = flight.delay->Duration();
  return progress;
}

void Engine::Tell(Operation operation, std::optional<std::size_t> sentStep) {
  if (!onProgress_) return;
  Progress progress = ProgressOf(operation);
  progress.sentStep = sentStep;
  onProgress_(progress);
}

}  // namespace karvello
