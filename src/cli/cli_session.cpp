#include "cli/cli_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "cli/console.h"
#include "engine/survey.h"
#include "framing/mbap.h"
#include "gateway/last_known.h"
#include "gateway/watch.h"

namespace karvello::cli {
namespace {

// "40.6 s", "30 s", "0.5 s".
std::string SecondsText(std::chrono::milliseconds time) {
  const long long tenths = (time.count() + 50) / 100;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") +
         " s";
}

}  // namespace

Session::Session(const Invocation& run, SerialLine& line, std::string port, Printer& printer,
                 OutcomeRecord& record, gateway::SiteState* site)
    : run_(run),
      line_(line),
      port_(std::move(port)),
      printer_(printer),
      record_(record),
      site_(site),
      engine_(line) {
  engine_.SetReplyWait(run_.replyTimeout);
  // A reply after its time-out was set aside rather than taken for the next request's answer.
  engine_.SetOnLate([this](const LateReply& late) {
    ClearProgress();
    std::fprintf(stderr,
                 "karvello-cli: a reply from address %d came %lld ms after its request, past "
                 "the wait of %lld ms, and was set aside (%zu so far); a slow link may need a "
                 "longer --reply-timeout\n",
                 late.address, static_cast<long long>(late.after.count()),
                 static_cast<long long>(late.wait.count()), late.count);
  });
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
    case Command::kWatch:
      RunWatch();
      return loop_.exec();
    case Command::kScan:
      RunScan();
      return loop_.exec();
    case Command::kNone:
    case Command::kHistory:  // reads the record, not the line
      return kUsage;
  }
  engine_.SetOnOutcome([this](const Outcome& outcome) { OnOutcome(outcome); });
  engine_.SetOnProgress([this](const Progress& progress) { OnProgress(progress); });
  engine_.SetOnLineLost([this] {
    if (!inFlight_) Finish(kPortUnavailable);
  });
  QTimer::singleShot(0, [this] { StartNext(); });
  return loop_.exec();
}

void Session::Stop() {
  if (finished_) return;
  const bool first = !std::exchange(stopAsked_, true);
  if (watch_) {
    // A measurement is not cut short: its detector would be left measuring. Say how long the
    // stop takes, and that a second request stops at once.
    const auto left =
        std::chrono::ceil<std::chrono::seconds>(measuredBy_ - std::chrono::steady_clock::now());
    if (first && measuringAt_ != 0 && left.count() > 0) {
      ClearProgress();
      std::fprintf(stderr,
                   "karvello-cli: stopping after the measurement in progress at address %d, "
                   "in about %lld s (again to stop at once)\n",
                   measuringAt_, static_cast<long long>(left.count()));
    }
    watch_->Stop();
    return;
  }
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
  if (stopping_ || next_ >= steps_.size()) {
    Finish(status_);
    return;
  }
  const Step& step = steps_[next_];
  inFlight_ = true;
  engine_.Start({step.operation, step.address});
}

void Session::RunWatch() {
  gateway::WatchPlan plan;
  plan.addresses = run_.addresses;
  plan.operations = run_.operations;
  plan.every = run_.every;
  plan.rounds = run_.count;
  plan.deadAfter = run_.deadAfter;
  plan.deadRetry = run_.deadRetry;
  // A round that runs past the next one's time leaves that one out: said at the start when even
  // answering detectors cannot fit the period (the measurements' delays), and each time it
  // happens (a silent detector's time-outs, which setting it aside then spares).
  const auto needed = gateway::ShortestRound(plan);
  if (needed > plan.every) {
    std::fprintf(stderr,
                 "karvello-cli: a round needs at least %s (the measurements' delays), longer "
                 "than the %s between rounds: a round that is due while one runs is left out\n",
                 SecondsText(needed).c_str(), SecondsText(plan.every).c_str());
  }
  // Where the watch left the site when it last ran, from the end of the record (none kept with
  // --no-record).
  gateway::LastKnown known;
  const QString recordPath = record_.Status().path;
  if (!recordPath.isEmpty()) {
    known = gateway::ReadLastKnown(recordPath, port_, plan.addresses, plan.operations,
                                   run_.alarmAbove.has_value());
    if (site_) gateway::Seed(*site_, known);
  }
  // A no-answer alarm that stood stands still, to be cleared by the detector's next answer.
  for (int address : known.silent) {
    if (std::find(plan.addresses.begin(), plan.addresses.end(), address) == plan.addresses.end()) {
      continue;
    }
    plan.silentAtStart.insert(address);
    std::fprintf(stderr,
                 "karvello-cli: the no-answer alarm at address %d stands, as the record left it\n",
                 address);
  }
  if (run_.alarmAbove) {
    plan.limit = AlarmLimit{*run_.alarmAbove, run_.alarmAfter};
    // The alarms that stood when the watch last ran stand still, to be cleared by the rule.
    plan.raisedAtStart = known.raised;
    for (int address : plan.raisedAtStart) {
      if (std::find(plan.addresses.begin(), plan.addresses.end(), address) ==
          plan.addresses.end()) {
        continue;
      }
      std::fprintf(stderr, "karvello-cli: the alarm at address %d stands, as the record left it\n",
                   address);
    }
  }
  if (site_) site_->SetRecord(record_.Status());
  watch_ = std::make_unique<gateway::Watch>(std::move(plan), engine_, line_, site_);
  watch_->SetOnReading([this](const Outcome& outcome, int address, const QDateTime& when) {
    ClearProgress();
    // A watch rides out a lost line: only an answer in an MBAP frame gives the hint.
    if (outcome.result != Result::kLineLost) HintAtModbusTcp(outcome);
    printer_.Print(outcome, address, port_, when, true);
    record_.Add(outcome, port_, when);
    if (site_) site_->SetRecord(record_.Status());
    if (onReading_) onReading_(outcome, address, port_, when);
    // The output cannot take the next reading: the watch ends with this one recorded.
    if (printer_.Failed()) watch_->Stop();
  });
  watch_->SetOnAlarm([this](const AlarmChange& change) {
    printer_.PrintAlarm(change, port_);
    record_.AddAlarm(change, port_);
    if (site_) site_->SetRecord(record_.Status());
    if (onAlarm_) onAlarm_(change);
  });
  watch_->SetOnSetAside([this](int address, bool aside, const QDateTime& when) {
    ClearProgress();
    printer_.PrintSetAside(address, aside, port_, when);
    record_.AddRow(SetAsideRow(address, aside, port_, when));
    if (site_) site_->SetRecord(record_.Status());
    if (printer_.Failed()) watch_->Stop();
  });
  watch_->SetOnRoundsLeftOut([this](long long count) {
    ClearProgress();
    std::fprintf(stderr,
                 "karvello-cli: %lld round(s) left out: the round before ran past their time\n",
                 count);
  });
  // A late or repeated reply of a reading that has ended is recorded, not printed.
  watch_->SetOnLate(
      [this](const Outcome& outcome, const QDateTime& when) { record_.Add(outcome, port_, when); });
  watch_->SetOnProgress(
      [this](const Progress& progress, int address) { ShowProgress(progress, address); });
  watch_->SetOnLineLost([this] {
    std::fprintf(stderr,
                 "karvello-cli: %s lost; the watch goes on and opens it again when it is back\n",
                 port_.c_str());
  });
  watch_->SetOnLineBack(
      [this] { std::fprintf(stderr, "karvello-cli: %s is back\n", port_.c_str()); });
  watch_->SetReopen(reopen_);
  watch_->SetOnFinished([this] {
    // Its rounds done without one reading answered: the status of the most telling failure.
    int failure = kAnswered;
    for (Result result : watch_->Failures()) {
      failure = MostTelling(static_cast<ExitStatus>(failure), StatusOf(result));
    }
    const bool roundsDone = run_.count > 0 && watch_->RoundsDone() >= run_.count;
    Finish(roundsDone && status_ == kAnswered && !watch_->Answered() ? failure : status_);
  });
  watch_->Start();
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
  Finish(StatusOf(outcome.result));
}

void Session::HintAtModbusTcp(const Outcome& outcome) {
  if (hinted_ || !run_.port || run_.port->kind != LineAddress::Kind::kRtuOverTcp) return;
  // A Modbus TCP gateway given as a serial server: it drops the connection at the RTU frame it
  // cannot read, or answers in an MBAP frame.
  const MbapStart start = FindMbapFrame(outcome.reply);
  const bool mbap = start.kind == MbapStart::Kind::kWhole && start.size == outcome.reply.size();
  if (outcome.result != Result::kLineLost && !mbap) return;
  hinted_ = true;
  std::fprintf(stderr,
               "karvello-cli: %s %s; if it is a Modbus TCP gateway, give it as tcp://HOST:PORT\n",
               port_.c_str(),
               mbap ? "answered in a Modbus TCP frame" : "closed the connection at the request");
}

void Session::Emit(const Outcome& outcome, int address) {
  HintAtModbusTcp(outcome);
  const QDateTime now = QDateTime::currentDateTime();
  if (run_.format == Format::kPlain && outcome.result != Result::kAnswered) {
    // A single reading's failure is an error message; its frames still go to standard output.
    printer_.PrintFrames(outcome);
    std::fprintf(stderr, "karvello-cli: %s: %s\n",
                 std::string(Describe(outcome.operation).name).c_str(), PlainText(outcome).c_str());
  } else {
    printer_.Print(outcome, address, port_, now, false);
  }
  record_.Add(outcome, port_, now);
}

void Session::OnProgress(const Progress& progress) {
  if (inFlight_ && next_ < steps_.size()) ShowProgress(progress, steps_[next_].address);
}

void Session::ShowProgress(const Progress& progress, int address) {
  if (progress.operation != Operation::kQueryResistance || progress.phase != Phase::kDelaying) {
    measuringAt_ = 0;
    return;
  }
  // The wait's end, and the read after it (a reply's time-out at most).
  measuringAt_ = address;
  measuredBy_ =
      std::chrono::steady_clock::now() + progress.delay - progress.elapsed + kReplyTimeout;
  if (!StandardErrorIsTerminal()) return;
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(progress.delay);
  std::fprintf(stderr, "\rmeasuring at address %d: %lld s left ", address,
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
  line_.Close();
  loop_.exit(status);
}

}  // namespace karvello::cli
