#pragma once
// The survey of a bus: the detectors on one line found by their addresses, their voltages read,
// their resistances measured one after another or all at once. It runs the engine's operations
// one at a time, each after the one before has ended, and hands up what each address gave. The
// survey window and the command line both run it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/deadline.h"
#include "engine/engine.h"

namespace karvello {

// The scan's range and the wait for each reply.
struct ScanSettings {
  int from = 1;
  int to = 255;
  std::chrono::milliseconds wait{100};
};
inline constexpr std::chrono::milliseconds kShortestScanWait{20};
inline constexpr std::chrono::milliseconds kLongestScanWait{1300};

enum class ScanSettingsError {
  kNone,
  kAddressOutOfRange,  // from or to outside 1 to 255
  kFromAboveTo,
  kWaitOutOfRange,  // outside 20 ms to 1.3 s
};
ScanSettingsError CheckScanSettings(const ScanSettings& settings);

// What one address gave: the read of its address register, and for a detector found there its
// voltage.
struct SurveyRow {
  std::uint8_t address = 0;
  Outcome addressRead;             // the read of the address register at `address`
  bool found = false;              // answered with its own address
  std::optional<Outcome> reading;  // the voltage, or the resistance in a measurement
};

enum class SurveyEnd { kDone, kStopped, kLineLost };

class Survey {
 public:
  // The engine must outlive the survey, which takes the engine's handlers.
  explicit Survey(Engine& engine);
  ~Survey();

  Survey(const Survey&) = delete;
  Survey& operator=(const Survey&) = delete;

  // Each starts a run; false (nothing sent) while a run goes on, for bad settings, or for a list
  // that is empty or holds address 0.
  bool Scan(const ScanSettings& settings);
  // The resistance of each address: one after another (start, 19 s, read), or all at once (every
  // start, 19 s once, then every read).
  bool Measure(std::vector<std::uint8_t> addresses, bool allAtOnce);
  bool ReadVoltages(std::vector<std::uint8_t> addresses);
  // Ends the run after the exchange in progress; waiting for a measurement, at once.
  void Stop();
  bool Running() const { return run_ != Run::kNone; }
  // All at once: the one wait for every measurement, to read; a test runs it out, or lets a
  // second of it pass, rather than waiting.
  const Deadline& MeasurementWait() const { return measurement_; }
  void RunOutMeasurementWait() { measurement_.Expire(); }
  void PassMeasurementSecond() { measurement_.Tick(); }

  // Every outcome of the engine, as it comes (for the record).
  void SetOnOutcome(std::function<void(const Outcome&)> handler) {
    onOutcome_ = std::move(handler);
  }
  // A scan: each address that gave anything but silence; a measurement or a voltage run: each
  // address's reading.
  void SetOnRow(std::function<void(const SurveyRow&)> handler) { onRow_ = std::move(handler); }
  // Addresses done of all.
  void SetOnProgress(std::function<void(int done, int total)> handler) {
    onProgress_ = std::move(handler);
  }
  // During a measurement's wait, which addresses it is for and the whole seconds left.
  void SetOnMeasuring(
      std::function<void(const std::vector<std::uint8_t>& addresses, std::chrono::seconds left)>
          handler) {
    onMeasuring_ = std::move(handler);
  }
  void SetOnFinished(std::function<void(SurveyEnd)> handler) { onFinished_ = std::move(handler); }

 private:
  enum class Run { kNone, kScan, kVoltages, kMeasureInTurn, kMeasureAllAtOnce };
  // Where a measurement of all at once stands: every start, the one wait, then every read.
  enum class Stage { kStarting, kWaiting, kReading };

  void Begin(Run run, std::vector<std::uint8_t> addresses);
  void Next();
  void OnOutcome(const Outcome& outcome);
  void OnEngineProgress(const Progress& progress);
  // The address in progress is done; its row is shown when `show`.
  void Done(bool show);
  void Finish(SurveyEnd end);
  void TellMeasuring();

  Engine& engine_;
  Run run_ = Run::kNone;
  bool stopping_ = false;
  std::chrono::milliseconds wait_{0};
  std::vector<std::uint8_t> addresses_;  // of the run, in order
  std::size_t next_ = 0;                 // the next address's index
  SurveyRow row_;                        // the address in progress
  Stage stage_ = Stage::kStarting;       // all at once
  std::vector<std::uint8_t> started_;    // all at once: the measurements started
  Deadline measurement_;                 // all at once: the one wait for every measurement
  int done_ = 0;

  std::function<void(const Outcome&)> onOutcome_;
  std::function<void(const SurveyRow&)> onRow_;
  std::function<void(int, int)> onProgress_;
  std::function<void(const std::vector<std::uint8_t>&, std::chrono::seconds)> onMeasuring_;
  std::function<void(SurveyEnd)> onFinished_;
};

}  // namespace karvello
