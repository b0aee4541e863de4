#include "engine/engine.h"

#include <algorithm>

#include "framing/mbap.h"
#include "framing/registers.h"

namespace karvello {
namespace {

// A gateway's word that the detector behind it did not answer, or cannot be reached.
bool GatewayHadNoAnswer(const Received& received) {
  const auto code = RefusalCode(received.bytes);
  return code == reg::kExceptionPathUnavailable || code == reg::kExceptionTargetFailedToRespond;
}

}  // namespace

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
  guard_ = std::make_unique<Deadline>(std::chrono::milliseconds(0));
  guard_->SetOnExpired([this] { SendHeld(); });
  line_.SetOnReceived([this](const Received& received) { OnReceived(received); });
  line_.SetOnLost([this] { OnLineLost(); });
}

Engine::~Engine() {
  line_.SetOnReceived(nullptr);
  line_.SetOnLost(nullptr);
}

void Engine::Start(const Request& request) {
  const Operation operation = request.operation;
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
  const OperationSteps& steps = Describe(operation);
  const Held held{operation, needsAddress ? *request.address : std::uint8_t{0},
                  request.wait.value_or(replyWait_.value_or(steps.steps[steps.count - 1].wait)),
                  request.wait.has_value()};
  // A new request of an operation held back takes the place of the one held.
  std::erase_if(held_, [operation](const Held& h) { return h.operation == operation; });
  if (guard_->IsRunning()) {
    // Held back until the guard has passed. The operation's last run is left as it ended, so
    // that a late reply to it is still judged as its own, with its own address.
    held_.push_back(held);
    Tell(operation);
    return;
  }
  Begin(held);
}

void Engine::Begin(const Held& held) {
  Flight& flight = Of(held.operation);
  flight.address = held.address;
  flight.timeout->SetDuration(held.wait);
  flight.ownWait = held.ownWait;
  Send(held.operation, 0);
}

void Engine::SendHeld() {
  for (const Held& held : std::exchange(held_, {})) Begin(held);
}

void Engine::Send(Operation operation, std::size_t index) {
  Flight& flight = Of(operation);
  const OperationSteps& steps = Describe(operation);
  if (index > 0) flight.delay->Stop();  // the delay ends with the request it leads to
  flight.timedOut = false;
  flight.lateTold = false;
  flight.sentAt = std::chrono::steady_clock::now();
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
  if (flight.timedOut &&
      !(received.kind == Received::Kind::kStray && received.bytes.size() < step.judgedFrom)) {
    NoteLate(operation);
  }
  if (!step.awaitsReply) {
    // What comes now answers nothing, but for the detector's refusal of the request.
    if (step.endsOnRefusal && received.kind == Received::Kind::kRefusal &&
        flight.phase == Phase::kDelaying) {
      flight.delay->Stop();
      flight.phase = Phase::kAwaiting;  // ended now, by the refusal
      End(operation, GatewayHadNoAnswer(received) ? Result::kNoReply : Result::kRefused,
          received.OnWire());
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
      // A gateway saying that the detector behind it did not answer: no reply, its words kept.
      result = GatewayHadNoAnswer(received) ? Result::kNoReply : Result::kRefused;
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
  // The guard runs before the outcome is told: a request its handler starts waits for it.
  Flight& flight = Of(operation);
  // (Nothing comes late on a line that is not open, nor over Modbus TCP.)
  if (line_.IsOpen() && !line_.NumbersTransactions() && flight.phase == Phase::kAwaiting) {
    flight.timedOut = true;
    guard_->Stop();
    const auto wait = flight.timeout->Duration();
    guard_->SetDuration(flight.ownWait ? wait / kOwnWaitGuardShare
                                       : std::min(wait, kLongestLateGuard));
    guard_->Start();
  }
  End(operation, Result::kNoReply, {});
}

std::chrono::milliseconds Engine::LongestTime(Operation operation) const {
  const OperationSteps& steps = Describe(operation);
  const std::chrono::milliseconds last = replyWait_.value_or(steps.steps[steps.count - 1].wait);
  const std::chrono::milliseconds guard = line_.NumbersTransactions()
                                              ? std::chrono::milliseconds(0)
                                              : std::min(last, kLongestLateGuard);
  return karvello::LongestTime(operation) - steps.steps[steps.count - 1].wait + last + guard;
}

void Engine::NoteLate(Operation operation) {
  Flight& flight = Of(operation);
  if (flight.lateTold) return;  // one reply, however it came in pieces
  flight.lateTold = true;
  ++lateReplies_;
  // What waits for the next request is dropped as that request goes; a late reply is never
  // judged against it.
  if (!onLate_) return;
  onLate_(LateReply{.operation = operation,
                    .address = flight.address,
                    .after = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - flight.sentAt),
                    .wait = flight.timeout->Duration(),
                    .count = lateReplies_});
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
  for (const Held& held : std::exchange(held_, {})) {
    Of(held.operation).address = held.address;
    Of(held.operation).sent = 0;  // its request never went
  }
  guard_->Stop();
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
  std::erase_if(held_, [operation](const Held& held) { return held.operation == operation; });
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
  progress.phase = PhaseOf(operation);
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
