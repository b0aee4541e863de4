#pragma once
// Several simulated detectors on one in-memory line: every frame the tool writes goes to each of
// them, and what they answer is handed to the line when the test lets the line work. Time is
// not waited for: when nothing more comes, the running deadline (a reply's time-out, a
// measurement's wait) is run out. The detectors measure at once, so a measurement's wait run out
// finds the result ready.

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "engine/survey.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/fake_serial_line.h"

namespace karvello::testing {

// A detector of the bus at `address`, with its reading (and decimal places) and its voltage.
inline sim::DetectorConfig At(std::uint8_t address, std::uint16_t resistance, std::uint8_t decimals,
                              std::uint16_t volts) {
  sim::DetectorConfig config;
  config.address = address;
  config.resistance = resistance;
  config.decimalCount = decimals;
  config.voltage = volts;
  return config;
}

class InMemoryBus {
 public:
  InMemoryBus(FakeSerialLine& line, const std::vector<sim::DetectorConfig>& configs) : line_(line) {
    for (sim::DetectorConfig config : configs) {
      config.measurementTime = std::chrono::milliseconds(0);
      detectors_.push_back(std::make_unique<sim::SimulatedDetector>(config));
    }
    line_.SetOnWritten([this](std::span<const std::uint8_t> frame) {
      if (echo_) pending_.push_back({std::chrono::nanoseconds(0), {frame.begin(), frame.end()}});
      for (auto& detector : detectors_) {
        for (auto& piece : detector->Respond(frame)) pending_.push_back(std::move(piece));
      }
    });
  }
  InMemoryBus(const InMemoryBus&) = delete;
  InMemoryBus& operator=(const InMemoryBus&) = delete;
  ~InMemoryBus() { line_.SetOnWritten(nullptr); }

  sim::SimulatedDetector& Detector(std::size_t index) { return *detectors_.at(index); }
  // The line gives every frame the tool writes back to it, before any reply (an adapter that
  // hears itself).
  void SetEcho(bool on) { echo_ = on; }

  // Hands up what the detectors sent, then runs out one deadline, until `done` holds or nothing
  // runs any more; returns whether `done` held.
  bool Run(Engine& engine, Survey& survey, const std::function<bool()>& done) {
    while (!done()) {
      Deliver();
      if (done()) break;
      if (!ExpireOne(engine, survey)) return done();
    }
    return true;
  }

  // Hands up what the detectors sent so far, a silence after each reply.
  void Deliver() {
    while (!pending_.empty()) {
      const sim::Piece piece = std::move(pending_.front());
      pending_.erase(pending_.begin());
      if (piece.pauseBefore >= kFrameGap) line_.FallSilent();
      line_.Receive(piece.bytes);
    }
    line_.FallSilent();
  }

  // Runs out the first deadline that runs; false when none does.
  static bool ExpireOne(Engine& engine, Survey& survey) {
    for (Operation operation : kAllOperations) {
      for (const Engine::Wait wait : {Engine::Wait::kDelay, Engine::Wait::kTimeout}) {
        const Deadline& deadline =
            wait == Engine::Wait::kDelay ? engine.DelayOf(operation) : engine.TimeoutOf(operation);
        if (deadline.IsRunning()) {
          engine.RunOut(operation, wait);
          return true;
        }
      }
    }
    if (engine.Guard().IsRunning()) {
      engine.RunOutGuard();
      return true;
    }
    if (survey.MeasurementWait().IsRunning()) {
      survey.RunOutMeasurementWait();
      return true;
    }
    return false;
  }

 private:
  FakeSerialLine& line_;
  std::vector<std::unique_ptr<sim::SimulatedDetector>> detectors_;
  std::vector<sim::Piece> pending_;
  bool echo_ = false;
};

}  // namespace karvello::testing
