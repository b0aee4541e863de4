#include "cli/cli_session.h"

#include <algorithm>
#include <cstdio>

#include "engine/survey.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#endif

namespace karvello::cli {
namespace {

bool StandardErrorIsTerminal() {
#if defined(Q_OS_UNIX)
  return ::isatty(STDERR_FILENO) == 1;
#elif defined(Q_OS_WIN)
  // A console window; not a file or a pipe, nor NUL, which _isatty also calls a character
  // device but which has no console mode.
  DWORD mode = 0;
  return _isatty(_fileno(stderr)) != 0 && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
#else
  return false;
#endif
}

// Erases the seconds-left line. A Windows console takes no escape sequences unless told to:
// the line is overwritten with spaces there.
void EraseProgressLine() {
#ifdef Q_OS_WIN
  std::fprintf(stderr, "\r%*s\r", 60, "");
#else
  std::fputs("\r\033[K", stderr);
#endif
}

// The longest a timer waits in one go: a watch of hours or days wakes now and then to see
// whether its round is due, on the steady clock.
constexpr std::chrono::minutes kLongestTimerWait{10};

}  // namespace

Session::Session(const Invocation& run, SerialLine& line, std::string port, Printer& printer,
                 OutcomeRecord& record)
    : run_(run),
      line_(line),
      port_(std::move(port)),
      printer_(printer),
      record_(record),
      engine_(line) {
  roundTimer_.setSingleShot(true);
  roundTimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&roundTimer_, &QTimer::timeout, [this] { OnRoundTimer(); });
}

Session::~Session() = default;

int Session::Run() {
  printer_.Begin();
  switch (run_.command) {
    case Command::kSetAddress:
      steps_ = {{Operation::kSetAddress, run_.addresses.at(0)}};
      break;
    case Command::kQueryAddress:
      steps_ = {{Operation::kQueryAddress, 0}};
      break;
    case Command::kResistance:
      steps_ = {{Operation::kQueryResistance, run_.addresses.at(0)}};
      break;
    case Command::kVoltage:
      steps_ = {{Operation::kQueryVoltage, run_.addresses.at(0)}};
      break;
    case Command::kWatch: {
      // The alarms that stood when the watch last ran stand still, to be cleared by the rule.
      const std::set<int> raised = run_.alarmAbove ? record_.RaisedAlarms(port_) : std::set<int>();
      for (std::uint8_t address : run_.addresses) {
        for (Operation operation : run_.operations) steps_.push_back({operation, address});
        if (run_.alarmAbove) {
          alarms_.emplace(address, AlarmRule(AlarmLimit{*run_.alarmAbove, run_.alarmAfter},
                                             raised.contains(address)));
          if (raised.contains(address)) {
            std::fprintf(stderr,
                         "karvello-cli: the alarm at address %d stands, as the record left it\n",
                         address);
          }
        }
      }
      break;
    }
    case Command::kScan:
      RunScan();
      return loop_.exec();
    case Command::kNone:
    case Command::kHistory:  // reads the record, not the line
      return kUsage;
  }
  engine_.SetOnOutcome([this](const Outcome& outcome) { OnOutcome(outcome); });
  engine_.SetOnProgress([this](const Progress& progress) { OnProgress(progress); });
  // Between the rounds of a watch no operation is in flight to fail with the line.
  engine_.SetOnLineLost([this] {
    if (run_.command == Command::kWatch) {
      LineGone();
    } else if (!inFlight_) {
      Finish(kPortUnavailable);
    }
  });
  start_ = Clock::now();
  due_ = start_;
  QTimer::singleShot(0, [this] { StartNext(); });
  return loop_.exec();
}

void Session::Stop() {
  if (finished_) return;
  if (stopping_ || !inFlight_) {
    // Between two readings, or asked a second time: at once.
    Finish(status_);
    return;
  }
  stopping_ = true;
  if (survey_) survey_->Stop();
}

void Session::End(int status) {
  status_ = status;
  Stop();
}

void Session::StartNext() {
  if (finished_) return;
  if (stopping_) {
    Finish(status_);
    return;
  }
  if (next_ >= steps_.size()) {
    // A round of a watch done.
    ++rounds_;
    if (run_.count > 0 && rounds_ >= run_.count) {
      // Its rounds done without one reading answered: the status of the most telling failure.
      Finish(status_ == kAnswered && !answered_ ? failure_ : status_);
    } else {
      ScheduleRound();
    }
    return;
  }
  const Step& step = steps_[next_];
  if (run_.command == Command::kWatch && !LineBack()) {
    // Nothing can be sent: the reading fails with the line, and the watch goes on.
    Outcome lost{};
    lost.operation = step.operation;
    lost.address = step.address;
    lost.result = Result::kLineLost;
    ++next_;
    Emit(lost, step.address);
    if (printer_.Failed()) {
      Finish(status_);
      return;
    }
    QTimer::singleShot(0, [this] { StartNext(); });
    return;
  }
  inFlight_ = true;
  engine_.Start({step.operation, step.address});
}

void Session::LineGone() {
  if (lineGone_) return;
  lineGone_ = true;
  std::fprintf(stderr,
               "karvello-cli: %s lost; the watch goes on and opens it again when it is back\n",
               port_.c_str());
}

bool Session::LineBack() {
  if (line_.IsOpen()) return true;
  LineGone();
  return reopen_ && reopen_();
}

void Session::OnOutcome(const Outcome& outcome) {
  // A late or repeated reply of an operation that has ended is recorded, not printed.
  if (outcome.again || !inFlight_) {
    record_.Add(outcome, port_, QDateTime::currentDateTime());
    return;
  }
  ClearProgress();
  const Step step = steps_[next_];
  inFlight_ = false;
  ++next_;
  Emit(outcome, step.address);
  if (lineGone_ && outcome.result != Result::kLineLost) {
    // The line carried an exchange again (a network line connects again by itself).
    lineGone_ = false;
    std::fprintf(stderr, "karvello-cli: %s is back\n", port_.c_str());
  }
  if (run_.command != Command::kWatch) {
    Finish(StatusOf(outcome.result));
    return;
  }
  if (printer_.Failed()) {
    // The output cannot take the next reading: the watch ends with this one recorded.
    Finish(status_);
    return;
  }
  // The next reading once the engine has finished with this outcome.
  QTimer::singleShot(0, [this] { StartNext(); });
}

void Session::Emit(const Outcome& outcome, int address) {
  const QDateTime now = QDateTime::currentDateTime();
  const bool failed = outcome.result != Result::kAnswered;
  if (run_.format == Format::kPlain && run_.command != Command::kWatch && failed) {
    // A single reading's failure is an error message; its frames still go to standard output.
    printer_.PrintFrames(outcome);
    std::fprintf(stderr, "karvello-cli: %s: %s\n",
                 std::string(Describe(outcome.operation).name).c_str(), PlainText(outcome).c_str());
  } else {
    printer_.Print(outcome, address, port_, now, run_.command == Command::kWatch);
  }
  record_.Add(outcome, port_, now);
  if (run_.command != Command::kWatch) return;
  if (failed) {
    failure_ = MostTelling(static_cast<ExitStatus>(failure_), StatusOf(outcome.result));
  } else {
    answered_ = true;
  }
  if (onReading_) onReading_(outcome, address, port_, now);
  JudgeAlarm(outcome, address, now);
}

void Session::JudgeAlarm(const Outcome& outcome, int address, const QDateTime& when) {
  const auto alarm = alarms_.find(address);
  if (alarm == alarms_.end() || Describe(outcome.operation).quantity != Quantity::kResistance) {
    return;
  }
  // A failed reading counts for neither side.
  const std::optional<Reading> reading =
      outcome.result == Result::kAnswered ? outcome.value : std::nullopt;
  const AlarmRule::Change change = alarm->second.Take(reading);
  if (change == AlarmRule::Change::kNone) return;
  const AlarmChange alarmChange{outcome, address, change == AlarmRule::Change::kRaised,
                                alarm->second.Limit().ohms, when};
  printer_.PrintAlarm(alarmChange, port_);
  record_.AddAlarm(alarmChange, port_);
  if (onAlarm_) onAlarm_(alarmChange);
}

void Session::OnProgress(const Progress& progress) {
  if (progress.operation != Operation::kQueryResistance || progress.phase != Phase::kDelaying ||
      !StandardErrorIsTerminal()) {
    return;
  }
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(progress.delay);
  std::fprintf(stderr, "\rmeasuring at address %d: %lld s left ", steps_[next_].address,
               static_cast<long long>((whole - progress.elapsed).count()));
  std::fflush(stderr);
  progressShown_ = true;
}

void Session::ClearProgress() {
  if (!progressShown_) return;
  EraseProgressLine();
  std::fflush(stderr);
  progressShown_ = false;
}

void Session::ScheduleRound() {
  // The n-th round is due at the start plus n intervals; rounds whose time has passed are left
  // out rather than run late one after another.
  // On the steady clock's own ticks, the interval at most a week: the next slot is at most one
  // interval past now, far inside the clock's range.
  const auto every = std::chrono::duration_cast<Clock::duration>(
      std::clamp(run_.every, std::chrono::milliseconds(1), kLongestEvery));
  const auto now = Clock::now();
  const auto passed = (now - start_) / every;  // whole intervals since the start
  due_ = start_ + (passed + 1) * every;
  next_ = 0;
  OnRoundTimer();
}

void Session::OnRoundTimer() {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - Clock::now());
  if (left.count() > 0) {
    roundTimer_.start(std::min<std::chrono::milliseconds>(left, kLongestTimerWait));
    return;
  }
  StartNext();
}

void Session::RunScan() {
  survey_ = std::make_unique<Survey>(engine_);
  survey_->SetOnOutcome([this](const Outcome& outcome) {
    record_.Add(outcome, port_, QDateTime::currentDateTime());
  });
  survey_->SetOnRow([this](const SurveyRow& row) {
    const QDateTime now = QDateTime::currentDateTime();
    if (row.found) {
      ++found_;
    } else {
      failure_ = MostTelling(static_cast<ExitStatus>(failure_), StatusOf(row.addressRead.result));
    }
    if (run_.format == Format::kPlain) {
      // "address 5  220 V", or what the address gave: "address 7  corrupt reply".
      std::string line = "address " + std::to_string(row.address) + "  ";
      if (!row.found) {
        line += PlainText(row.addressRead);
      } else if (row.reading) {
        line += "found, voltage " + PlainText(*row.reading);
      } else {
        line += "found";
      }
      printer_.Note(line);
      printer_.PrintFrames(row.addressRead);
      if (row.reading) printer_.PrintFrames(*row.reading);
    } else {
      printer_.Print(row.addressRead, row.address, port_, now, false);
      if (row.reading) printer_.Print(*row.reading, row.address, port_, now, false);
    }
    // The output cannot take the next row: the scan stops after the exchange in progress.
    if (printer_.Failed() && !stopping_) {
      stopping_ = true;
      survey_->Stop();
    }
  });
  survey_->SetOnFinished([this](SurveyEnd end) {
    if (run_.format == Format::kPlain) {
      printer_.Note(found_ ? std::to_string(found_) + " detector(s) found"
                           : std::string("no detector found"));
    }
    // Stopped, it ends 0 as a stopped watch does; run to its end, 0 only when it found one,
    // else the most telling failure it met (all silent: no reply).
    const int status = end == SurveyEnd::kLineLost            ? kPortUnavailable
                       : end == SurveyEnd::kStopped || found_ ? kAnswered
                       : failure_ == kAnswered                ? kNoReply
                                                              : failure_;
    QTimer::singleShot(0, [this, status] { Finish(status); });
  });
  inFlight_ = true;  // a scan always has an exchange in progress until it finishes
  ScanSettings settings{run_.from, run_.to, run_.wait};
  QTimer::singleShot(0, [this, settings] {
    if (!survey_->Scan(settings)) Finish(kUsage);
  });
}

void Session::Finish(int status) {
  if (finished_) return;
  finished_ = true;
  ClearProgress();
  roundTimer_.stop();
  line_.Close();
  loop_.exit(status);
}

}  // namespace karvello::cli
