// karvello-bench-timers: how closely the engine's deadlines keep their promised times, measured
// on the wire by the simulated detector, which pins the time of every request's last byte as it
// reads it. The engine's real deadlines run in the real event loop.
//
//   karvello-bench-timers [--reps N] [--long-reps M] [--help]
//
// - confirmation: the address write to the new address leaves 300 ms after the broadcast;
// - time-out: with no reply, the failure text is shown 1300 ms after the request;
// - measurement: the resistance read leaves 19000 ms after the start of the measurement.

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "bench/timed_texts.h"
#include "engine/engine.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "ui/log_texts.h"
#include "ui/presenter.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using testing::SpinUntil;

class Rig {
 public:
  Rig() : detector_({.address = 1, .measurementTime = 0ms}), map_({{1, detector_.SlavePath()}}) {
    if (!line_.Open(LineAddress::Port(1))) {
      std::fprintf(stderr, "the detector's port does not open\n");
      std::exit(1);
    }
    texts_.SetAddressText("1");
  }

  // Error of the gap between the broadcast and the confirmation, against 300 ms.
  double Confirmation() {
    const std::size_t before = detector_.ExchangeCount();
    presenter_.Press(Operation::kSetAddress);
    Await(2s);
    detector_.WaitForExchanges(before + 2, 1s);
    const auto log = detector_.ExchangesSince(before).exchanges;
    return Ms(log.at(1).requestLastByte - log.at(0).requestLastByte) - 300.0;
  }

  // Error of the time-out text after the request, against 1300 ms.
  double TimeOut() {
    const std::size_t before = detector_.ExchangeCount();
    detector_.SetFault(sim::Fault::NoReply(), 1);
    presenter_.Press(Operation::kQueryVoltage);
    Await(3s);
    if (texts_.LogText() != text::kQueryFailed) std::exit(1);
    detector_.WaitForExchanges(before + 1, 1s);
    return Ms(texts_.lastWrite - detector_.ExchangesSince(before).exchanges.at(0).requestLastByte) -
           1300.0;
  }

  // Error of the read after the start of the measurement, against 19000 ms.
  double Measurement() {
    const std::size_t before = detector_.ExchangeCount();
    presenter_.Press(Operation::kQueryResistance);
    Await(22s);
    detector_.WaitForExchanges(before + 2, 1s);
    const auto log = detector_.ExchangesSince(before).exchanges;
    return Ms(log.at(1).requestLastByte - log.at(0).requestLastByte) - 19000.0;
  }

 private:
  // Runs the loop until no delay or time-out runs: the operation has ended.
  void Await(std::chrono::milliseconds timeout) {
    SpinUntil(
        [&] {
          for (Operation operation : kOperations) {
            if (engine_.InFlight(operation)) return false;
          }
          return true;
        },
        timeout);
  }

  sim::SimulatedDetector detector_;
  FixedPortMap map_;
  QtSerialLine line_{map_};
  TimedTexts texts_;
  Engine engine_{line_};
  Presenter presenter_{engine_, texts_};
};

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int reps = 10;
  int longReps = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: karvello-bench-timers [--reps N] [--long-reps M] [--help]\n"
          "Measures on the wire, against the simulated detector, how far the engine's real\n"
          "deadlines miss their promised times: the confirmation 300 ms after the address\n"
          "broadcast and the time-out text 1300 ms after a request with no reply (N runs each,\n"
          "default 10), and the resistance read 19000 ms after the measurement start (M runs,\n"
          "default 3).\n");
      return 0;
    }
    if (i + 1 < argc && arg == "--reps") {
      reps = std::atoi(argv[++i]);
    } else if (i + 1 < argc && arg == "--long-reps") {
      longReps = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: karvello-bench-timers [--reps N] [--long-reps M] [--help]\n");
      return 2;
    }
  }
  karvello::bench::Rig rig;
  std::vector<double> confirm, timeout, measure;
  for (int i = 0; i < reps; ++i) confirm.push_back(rig.Confirmation());
  for (int i = 0; i < reps; ++i) timeout.push_back(rig.TimeOut());
  for (int i = 0; i < longReps; ++i) measure.push_back(rig.Measurement());
  std::printf("timer error on the wire (measured minus promised)\n");
  karvello::bench::PrintSummary("confirmation after broadcast (300 ms)", confirm, "ms");
  karvello::bench::PrintSummary("time-out text after request (1300 ms)", timeout, "ms");
  karvello::bench::PrintSummary("read after measurement start (19000 ms)", measure, "ms");
  return 0;
}
