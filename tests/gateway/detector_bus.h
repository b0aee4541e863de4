#pragma once
// Simulated detectors answering on an in-memory line a moment after each request, as a real line
// does, for the watch's tests: each detector at address A reads 220 + A volts and 15.00 Ω, and
// measures at once; the requests sent to each address are counted.

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "sim/simulated_detector.h"
#include "support/fake_serial_line.h"

namespace karvello::gateway {

class DetectorBus {
 public:
  explicit DetectorBus(const std::vector<std::uint8_t>& addresses) {
    for (std::uint8_t address : addresses) {
      sim::DetectorConfig config;
      config.address = address;
      config.voltage = 220 + address;
      config.resistance = 1500;
      config.decimalCount = 2;
      config.measurementTime = std::chrono::milliseconds(0);
      detectors_.push_back(std::make_unique<sim::SimulatedDetector>(config));
    }
    line_.Open(1);
    line_.SetOnWritten([this](std::span<const std::uint8_t> frame) {
      if (!frame.empty()) ++requests_[frame[0]];
      if (onWrite_) onWrite_();
      std::vector<std::uint8_t> reply;
      for (auto& detector : detectors_) {
        for (const sim::Piece& piece : detector->Respond(frame)) {
          reply.insert(reply.end(), piece.bytes.begin(), piece.bytes.end());
        }
      }
      if (reply.empty()) return;
      QTimer::singleShot(1, [this, reply] {
        line_.Receive(reply);
        line_.FallSilent();
      });
    });
  }

  FakeSerialLine& Line() { return line_; }
  sim::SimulatedDetector& Detector(std::size_t index) { return *detectors_.at(index); }
  // Called as each request goes out, before the detectors answer it.
  void SetOnWrite(std::function<void()> handler) { onWrite_ = std::move(handler); }
  int Requests(std::uint8_t address) const {
    const auto found = requests_.find(address);
    return found == requests_.end() ? 0 : found->second;
  }

 private:
  FakeSerialLine line_;
  std::vector<std::unique_ptr<sim::SimulatedDetector>> detectors_;
  std::map<std::uint8_t, int> requests_;
  std::function<void()> onWrite_;
};

}  // namespace karvello::gateway
