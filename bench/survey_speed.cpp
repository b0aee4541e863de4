// karvello-bench-survey: how long the survey of a bus takes against the simulated detector on a
// pseudo-terminal, its replies paced at 9600 baud, beside what the line itself needs.
//
//   karvello-bench-survey [--reps N] [--measure-reps M] [--help]
//
// - scan: addresses 1 to 255 with the default wait (100 ms). Its floor is what the line needs:
//   each request on the wire (8 bytes, 8.3 ms) plus the wait, plus for each detector found its
//   address reply, the voltage request and the voltage reply. Goal: within 1.1 x the floor.
// - measure all at once: every start, the one 19 s wait, every read. Goal: 19 s + 0.2 s per
//   detector.
//
// The simulated bus holds three detectors, at 3, 7 and 200.

#include <QCoreApplication>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "engine/engine.h"
#include "engine/survey.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using testing::SpinUntil;

constexpr double kByteMs = 10.0 / 9600.0 * 1000.0;  // 1.0417 ms: start, 8 data, stop bits
constexpr int kRequestBytes = 8;
constexpr int kShortReplyBytes = 7;  // the reply to a read of one register

constexpr std::array<std::uint8_t, 3> kAddresses = {3, 7, 200};
constexpr std::array<std::uint16_t, 3> kReadings = {345, 1280, 52};
constexpr std::array<std::uint16_t, 3> kVolts = {220, 218, 221};

struct Run {
  double ms = 0;
  int found = 0;
  bool right = false;
};

class Rig {
 public:
  Rig() : detector_(Bus(), {.pacing = true}), map_({{1, detector_.SlavePath()}}) {
    if (!line_.Open(LineAddress::Port(1))) {
      std::fprintf(stderr, "the bus's port does not open\n");
      std::exit(1);
    }
    survey_.SetOnRow([this](const SurveyRow& row) { rows_.push_back(row); });
    survey_.SetOnFinished([this](SurveyEnd end) { end_ = end; });
  }

  static std::vector<sim::DetectorConfig> Bus() {
    std::vector<sim::DetectorConfig> bus;
    for (std::size_t i = 0; i < kAddresses.size(); ++i) {
      bus.push_back({.address = kAddresses[i],
                     .resistance = kReadings[i],
                     .decimalCount = 1,
                     .voltage = kVolts[i],
                     .measurementTime = 19'000ms});
    }
    return bus;
  }

  Run Scan() {
    Begin();
    const auto start = std::chrono::steady_clock::now();
    survey_.Scan({});
    SpinUntil([this] { return end_.has_value(); }, 120s);
    Run run{Ms(std::chrono::steady_clock::now() - start), 0, false};
    run.right = end_ == SurveyEnd::kDone && rows_.size() == kAddresses.size();
    for (std::size_t i = 0; run.right && i < rows_.size(); ++i) {
      run.found += rows_[i].found ? 1 : 0;
      run.right = rows_[i].found && rows_[i].address == kAddresses[i] && rows_[i].reading &&
                  rows_[i].reading->value == Reading{.number = kVolts[i]};
    }
    return run;
  }

  Run MeasureAllAtOnce() {
    Begin();
    const auto start = std::chrono::steady_clock::now();
    survey_.Measure({kAddresses.begin(), kAddresses.end()}, true);
    SpinUntil([this] { return end_.has_value(); }, 30s);
    Run run{Ms(std::chrono::steady_clock::now() - start), 0, false};
    run.right = end_ == SurveyEnd::kDone && rows_.size() == kAddresses.size();
    for (std::size_t i = 0; run.right && i < rows_.size(); ++i) {
      run.right = rows_[i].reading && rows_[i].reading->value == Reading{kReadings[i], 1, false};
    }
    return run;
  }

 private:
  void Begin() {
    rows_.clear();
    end_.reset();
  }

  sim::SimulatedDetector detector_;
  FixedPortMap map_;
  QtSerialLine line_{map_};
  Engine engine_{line_};
  Survey survey_{engine_};
  std::vector<SurveyRow> rows_;
  std::optional<SurveyEnd> end_;
};

int Main(int argc, char** argv) {
  int reps = 3;
  int measureReps = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--measure-reps") == 0 && i + 1 < argc) {
      measureReps = std::atoi(argv[++i]);
    } else {
      std::puts(
          "karvello-bench-survey [--reps N] [--measure-reps M]\n"
          "Times a scan of 1 to 255 (default wait 100 ms) N times (default 3) and a measurement "
          "all at once M times (default 1) against a simulated bus of detectors at 3, 7 and 200 "
          "on a pseudo-terminal, their replies paced at 9600 baud; prints them beside the "
          "floor.");
      return 0;
    }
  }
  Rig rig;
  std::vector<double> scans;
  bool right = true;
  for (int i = 0; i < reps; ++i) {
    const Run run = rig.Scan();
    right = right && run.right;
    scans.push_back(run.ms);
  }
  const int found = static_cast<int>(kAddresses.size());
  const double floor = 255 * (kRequestBytes * kByteMs + 100.0) +
                       found * (kShortReplyBytes + kRequestBytes + kShortReplyBytes) * kByteMs;
  PrintSummary("scan 1..255, 100 ms wait, 3 detectors", scans, "ms");
  std::sort(scans.begin(), scans.end());
  std::printf("floor %.1f ms; goal <= %.1f ms (1.1 x floor); median / floor = %.3f\n", floor,
              1.1 * floor, Quantile(scans, 0.5) / floor);

  std::vector<double> measures;
  for (int i = 0; i < measureReps; ++i) {
    const Run run = rig.MeasureAllAtOnce();
    right = right && run.right;
    measures.push_back(run.ms);
  }
  PrintSummary("measure all at once, 3 detectors", measures, "ms");
  std::printf("goal <= %.1f ms (19 s + 0.2 s per detector)\n", 19'000.0 + 200.0 * found);
  if (!right) std::puts("WRONG: a run did not find or read the detectors as it should");
  return right ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return karvello::bench::Main(argc, argv);
}
