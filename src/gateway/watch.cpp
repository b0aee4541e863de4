#include "gateway/watch.h"

#include <algorithm>

#include "gateway/site_state.h"
#include "serial/serial_line.h"

namespace karvello::gateway {
namespace {

// The longest a timer waits in one go: a watch of hours or days wakes now and then to see
// whether its round is due, on the steady clock.
constexpr std::chrono::minutes kLongestTimerWait{10};

}  // namespace

std::chrono::milliseconds LongestRound(const WatchPlan& plan, const Engine& engine) {
  std::chrono::milliseconds each{0};
  for (Operation operation : plan.operations) each += engine.LongestTime(operation);
  return each * static_cast<long long>(plan.addresses.size());
}

std::chrono::milliseconds ShortestRound(const WatchPlan& plan) {
  std::chrono::milliseconds each{0};
  for (Operation operation : plan.operations) each += ShortestTime(operation);
  return each * static_cast<long long>(plan.addresses.size());
}

Watch::Watch(WatchPlan plan, Engine& engine, SerialLine& line, SiteState* state)
    : plan_(std::move(plan)), engine_(engine), line_(line), state_(state) {
  roundTimer_.setSingleShot(true);
  roundTimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&roundTimer_, &QTimer::timeout, [this] { OnRoundTimer(); });
  for (Operation operation : plan_.operations) longestReading_ += engine_.LongestTime(operation);
  for (std::uint8_t address : plan_.addresses) {
    for (Operation operation : plan_.operations) steps_.push_back({operation, address});
    if (state_) state_->Expect(address);
    const bool silent = plan_.silentAtStart.contains(address);
    silences_.emplace(address, Silence{AsideSchedule(plan_.deadAfter, plan_.deadRetry), 0, silent});
    if (state_ && silent) state_->SetNoAnswer(address, true);
    if (plan_.limit) {
      const bool raised = plan_.raisedAtStart.contains(address);
      alarms_.emplace(address, AlarmRule(*plan_.limit, raised));
      if (state_ && raised) state_->SetAlarm(address, true);
    }
  }
  engine_.SetOnOutcome([this](const Outcome& outcome) { OnOutcome(outcome); });
  engine_.SetOnProgress([this](const Progress& progress) {
    if (inFlight_ && onProgress_) onProgress_(progress, steps_[next_].address);
  });
  // Between the rounds no reading is in flight to fail with the line.
  engine_.SetOnLineLost([this] { LineGone(); });
}

Watch::~Watch() {
  engine_.SetOnOutcome({});
  engine_.SetOnProgress({});
  engine_.SetOnLineLost({});
}

void Watch::Start() {
  start_ = Clock::now();
  due_ = start_;
  QTimer::singleShot(0, [this] { StartNext(); });
}

void Watch::Stop() {
  if (finished_) return;
  if (stopping_ || !inFlight_) {
    Finish();
    return;
  }
  stopping_ = true;
}

void Watch::StartNext() {
  if (finished_) return;
  if (stopping_) {
    Finish();
    return;
  }
  // A detector set aside is not read in this round: no exchange, no reading.
  while (next_ < steps_.size() && !Due(steps_[next_].address)) ++next_;
  if (next_ >= steps_.size()) {
    ++roundsDone_;
    if (plan_.rounds > 0 && roundsDone_ >= plan_.rounds) {
      Finish();
    } else {
      ScheduleRound();
    }
    return;
  }
  const Step& step = steps_[next_];
  if (!LineBack()) {
    // Nothing can be sent: the reading fails with the line, and the watch goes on.
    Outcome lost{};
    lost.operation = step.operation;
    lost.address = step.address;
    lost.result = Result::kLineLost;
    ++next_;
    Emit(lost, step.address);
    QTimer::singleShot(0, [this] { StartNext(); });
    return;
  }
  inFlight_ = true;
  engine_.Start({step.operation, step.address});
}

void Watch::LineGone() {
  if (lineGone_) return;
  lineGone_ = true;
  if (state_) state_->SetLineOpen(false, QDateTime::currentDateTime());
  if (onLineLost_) onLineLost_();
}

bool Watch::LineBack() {
  if (line_.IsOpen()) return true;
  LineGone();
  return reopen_ && reopen_();
}

void Watch::OnOutcome(const Outcome& outcome) {
  if (outcome.again || !inFlight_) {
    if (onLate_) onLate_(outcome, QDateTime::currentDateTime());
    return;
  }
  const Step step = steps_[next_];
  inFlight_ = false;
  ++next_;
  Emit(outcome, step.address);
  if (lineGone_ && outcome.result != Result::kLineLost) {
    // The line carried an exchange again (a network line connects again by itself).
    lineGone_ = false;
    if (state_) state_->SetLineOpen(true, QDateTime::currentDateTime());
    if (onLineBack_) onLineBack_();
  }
  // The next reading once the engine has finished with this outcome.
  QTimer::singleShot(0, [this] { StartNext(); });
}

void Watch::Emit(const Outcome& outcome, int address) {
  const QDateTime now = QDateTime::currentDateTime();
  if (outcome.result == Result::kAnswered) {
    answered_ = true;
  } else {
    failures_.insert(outcome.result);
  }
  if (state_) state_->Take(outcome, address, now);
  if (onReading_) onReading_(outcome, address, now);
  JudgeAlarm(outcome, address, now);
  JudgeAnswer(outcome, address, now);
}

bool Watch::Due(std::uint8_t address) const {
  const auto silence = silences_.find(address);
  if (silence == silences_.end()) return true;
  const AsideSchedule& schedule = silence->second.schedule;
  if (!schedule.Aside()) return true;
  if (!schedule.Due(roundsDone_)) return false;
  // Put off while its time-outs would run into the next round, but no longer than its gap.
  if (roundsDone_ - schedule.NextDue() >= schedule.Gap()) return true;
  return start_ + (slot_ + 1) * Period() - Clock::now() >= longestReading_;
}

void Watch::JudgeAnswer(const Outcome& outcome, int address, const QDateTime& when) {
  const auto found = silences_.find(address);
  if (found == silences_.end()) return;
  Silence& silence = found->second;
  // A refusal is the answer of a detector that is there; a lost line says nothing of it, and
  // counts only towards the alarm.
  const bool answered = outcome.result == Result::kAnswered || outcome.result == Result::kRefused;
  const bool lineLost = outcome.result == Result::kLineLost;
  silence.failures = answered ? 0 : std::min(silence.failures + 1, plan_.deadAfter);
  const bool raise = !answered && !silence.alarm && silence.failures >= plan_.deadAfter;
  const bool clear = answered && silence.alarm;
  if (raise || clear) {
    silence.alarm = raise;
    if (state_) state_->SetNoAnswer(address, raise);
    if (onAlarm_) {
      const auto limit = alarms_.find(address);
      onAlarm_({outcome, address, raise, 0, when, AlarmKind::kNoAnswer,
                limit != alarms_.end() && limit->second.Raised()});
    }
  }
  if (lineLost) return;
  const AsideSchedule::Change change = silence.schedule.Take(answered, roundsDone_);
  if (change == AsideSchedule::Change::kNone) return;
  const bool aside = change == AsideSchedule::Change::kSetAside;
  if (state_) state_->SetAside(address, aside ? std::optional(when) : std::nullopt);
  if (onSetAside_) onSetAside_(address, aside, when);
}

void Watch::JudgeAlarm(const Outcome& outcome, int address, const QDateTime& when) {
  const auto alarm = alarms_.find(address);
  if (alarm == alarms_.end() || Describe(outcome.operation).quantity != Quantity::kResistance) {
    return;
  }
  // A failed reading counts for neither side.
  const std::optional<Reading> reading =
      outcome.result == Result::kAnswered ? outcome.value : std::nullopt;
  const AlarmRule::Change change = alarm->second.Take(reading);
  if (change == AlarmRule::Change::kNone) return;
  const bool raised = change == AlarmRule::Change::kRaised;
  if (state_) state_->SetAlarm(address, raised);
  if (onAlarm_) {
    const auto silence = silences_.find(address);
    onAlarm_({outcome, address, raised, alarm->second.Limit().ohms, when,
              AlarmKind::kResistanceLimit, silence != silences_.end() && silence->second.alarm});
  }
}

Watch::Clock::duration Watch::Period() const {
  // On the steady clock's own ticks, the period at most a week: the next slot is at most one
  // period past now, far inside the clock's range.
  return std::chrono::duration_cast<Clock::duration>(
      std::clamp(plan_.every, std::chrono::milliseconds(1), kLongestWatchPeriod));
}

void Watch::ScheduleRound() {
  const auto every = Period();
  const auto passed = (Clock::now() - start_) / every;  // whole periods since the start
  const long long slot = static_cast<long long>(passed) + 1;
  const long long leftOut = slot - slot_ - 1;
  slot_ = slot;
  due_ = start_ + slot * every;
  if (leftOut > 0 && onLeftOut_) onLeftOut_(leftOut);
  next_ = 0;
  OnRoundTimer();
}

void Watch::OnRoundTimer() {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - Clock::now());
  if (left.count() > 0) {
    roundTimer_.start(std::min<std::chrono::milliseconds>(left, kLongestTimerWait));
    return;
  }
  StartNext();
}

void Watch::Finish() {
  if (finished_) return;
  finished_ = true;
  roundTimer_.stop();
  if (onFinished_) onFinished_();
}

}  // namespace karvello::gateway
