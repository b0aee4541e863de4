#include "engine/survey.h"

#include <algorithm>

namespace karvello {
namespace {

SurveyRow RowAt(std::uint8_t address) {
  SurveyRow row{};
  row.address = address;
  return row;
}

}  // namespace

ScanSettingsError CheckScanSettings(const ScanSettings& settings) {
  const auto valid = [](int address) { return address >= 1 && address <= 255; };
  if (!valid(settings.from) || !valid(settings.to)) return ScanSettingsError::kAddressOutOfRange;
  if (settings.from > settings.to) return ScanSettingsError::kFromAboveTo;
  if (settings.wait < kShortestScanWait || settings.wait > kLongestScanWait) {
    return ScanSettingsError::kWaitOutOfRange;
  }
  return ScanSettingsError::kNone;
}

Survey::Survey(Engine& engine) : engine_(engine), measurement_(kMeasurementTime) {
  engine_.SetOnOutcome([this](const Outcome& outcome) { OnOutcome(outcome); });
  engine_.SetOnProgress([this](const Progress& progress) { OnEngineProgress(progress); });
  engine_.SetOnLineLost([this] {
    if (Running()) Finish(SurveyEnd::kLineLost);
  });
  measurement_.SetOnSecond([this] { TellMeasuring(); });
  measurement_.SetOnExpired([this] {
    stage_ = Stage::kReading;
    next_ = 0;
    Next();
  });
}

Survey::~Survey() {
  engine_.SetOnOutcome(nullptr);
  engine_.SetOnProgress(nullptr);
  engine_.SetOnLineLost(nullptr);
}

bool Survey::Scan(const ScanSettings& settings) {
  if (Running() || CheckScanSettings(settings) != ScanSettingsError::kNone) return false;
  wait_ = settings.wait;
  std::vector<std::uint8_t> addresses;
  for (int address = settings.from; address <= settings.to; ++address) {
    addresses.push_back(static_cast<std::uint8_t>(address));
  }
  Begin(Run::kScan, std::move(addresses));
  return true;
}

namespace {

// Address 0 is every detector at once (a broadcast): a survey addresses one at a time.
bool OneEach(const std::vector<std::uint8_t>& addresses) {
  return !addresses.empty() &&
         std::find(addresses.begin(), addresses.end(), std::uint8_t{0}) == addresses.end();
}

}  // namespace

bool Survey::Measure(std::vector<std::uint8_t> addresses, bool allAtOnce) {
  if (Running() || !OneEach(addresses)) return false;
  Begin(allAtOnce ? Run::kMeasureAllAtOnce : Run::kMeasureInTurn, std::move(addresses));
  return true;
}

bool Survey::ReadVoltages(std::vector<std::uint8_t> addresses) {
  if (Running() || !OneEach(addresses)) return false;
  Begin(Run::kVoltages, std::move(addresses));
  return true;
}

void Survey::Stop() {
  if (!Running()) return;
  stopping_ = true;
  // Waiting for a measurement, no exchange is in progress: the run ends now, and the reading
  // that would have followed the wait is not sent.
  const bool waitingInTurn = run_ == Run::kMeasureInTurn &&
                             engine_.PhaseOf(Operation::kQueryResistance) == Phase::kDelaying;
  if (waitingInTurn) engine_.Cancel(Operation::kQueryResistance);
  if (waitingInTurn || (run_ == Run::kMeasureAllAtOnce && stage_ == Stage::kWaiting)) {
    Finish(SurveyEnd::kStopped);
  }
}

void Survey::Begin(Run run, std::vector<std::uint8_t> addresses) {
  run_ = run;
  stopping_ = false;
  addresses_ = std::move(addresses);
  next_ = 0;
  done_ = 0;
  stage_ = Stage::kStarting;
  started_.clear();
  if (onProgress_) onProgress_(0, static_cast<int>(addresses_.size()));
  Next();
}

void Survey::Next() {
  if (!Running()) return;
  if (stopping_) {
    Finish(SurveyEnd::kStopped);
    return;
  }
  if (run_ == Run::kMeasureAllAtOnce && stage_ == Stage::kStarting) {
    if (next_ < addresses_.size()) {
      row_ = RowAt(addresses_[next_++]);
      engine_.Start({Operation::kStartMeasurement, row_.address});
      return;
    }
    if (started_.empty()) {
      Finish(SurveyEnd::kDone);
      return;
    }
    // One wait for every measurement, from the start of the last.
    stage_ = Stage::kWaiting;
    measurement_.Start();
    TellMeasuring();
    return;
  }
  const std::vector<std::uint8_t>& list = run_ == Run::kMeasureAllAtOnce ? started_ : addresses_;
  if (next_ >= list.size()) {
    Finish(SurveyEnd::kDone);
    return;
  }
  row_ = RowAt(list[next_++]);
  switch (run_) {
    case Run::kScan:
      engine_.Start({Operation::kReadAddress, row_.address, wait_});
      break;
    case Run::kVoltages:
      engine_.Start({Operation::kQueryVoltage, row_.address});
      break;
    case Run::kMeasureInTurn:
      engine_.Start({Operation::kQueryResistance, row_.address});
      break;
    case Run::kMeasureAllAtOnce:
      engine_.Start({Operation::kReadResistance, row_.address});
      break;
    case Run::kNone:
      break;
  }
}

void Survey::OnOutcome(const Outcome& outcome) {
  if (onOutcome_) onOutcome_(outcome);
  // A late or repeated reply is recorded, and changes nothing of the run.
  if (!Running() || outcome.again) return;
  const bool readsAddress = outcome.operation == Operation::kReadAddress;
  if (outcome.result == Result::kLineLost) {
    // The rows keep what they have.
    if (!readsAddress) {
      row_.reading = outcome;
      if (onRow_) onRow_(row_);
    }
    Finish(SurveyEnd::kLineLost);
    return;
  }
  if (run_ == Run::kScan && readsAddress) {
    row_.addressRead = outcome;
    row_.found = outcome.result == Result::kAnswered && outcome.value &&
                 outcome.value->number == row_.address;
    if (row_.found && !stopping_) {
      engine_.Start({Operation::kQueryVoltage, row_.address});
      return;
    }
    // Silence is no row; anything else is shown for what it is.
    Done(row_.found || outcome.result != Result::kNoReply);
    return;
  }
  if (run_ == Run::kMeasureAllAtOnce && stage_ == Stage::kStarting) {
    if (outcome.result == Result::kAnswered) {
      started_.push_back(row_.address);
    } else {
      row_.reading = outcome;
      ++done_;
      if (onRow_) onRow_(row_);
      if (onProgress_) onProgress_(done_, static_cast<int>(addresses_.size()));
    }
    Next();
    return;
  }
  row_.found = run_ != Run::kScan || row_.found;
  row_.reading = outcome;
  Done(true);
}

void Survey::OnEngineProgress(const Progress& progress) {
  if (run_ != Run::kMeasureInTurn || progress.operation != Operation::kQueryResistance ||
      progress.phase != Phase::kDelaying || !onMeasuring_) {
    return;
  }
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(progress.delay);
  onMeasuring_({row_.address}, whole - progress.elapsed);
}

void Survey::Done(bool show) {
  ++done_;
  if (show && onRow_) onRow_(row_);
  if (onProgress_) onProgress_(done_, static_cast<int>(addresses_.size()));
  Next();
}

void Survey::Finish(SurveyEnd end) {
  measurement_.Stop();
  stage_ = Stage::kStarting;
  run_ = Run::kNone;
  stopping_ = false;
  if (onFinished_) onFinished_(end);
}

void Survey::TellMeasuring() {
  if (!onMeasuring_) return;
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(measurement_.Duration());
  onMeasuring_(started_, whole - measurement_.Elapsed());
}

}  // namespace karvello
