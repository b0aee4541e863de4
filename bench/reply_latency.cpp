// karvello-bench-latency: the time from the last byte of a reply written on the pseudo-terminal
// to the log text updated, for each operation, through the tool's real serial control and
// operations and the real event loop.
//
//   karvello-bench-latency [--reps N]
//
// The simulated detector paces its replies as at 9600 baud (one byte every 1.04 ms) and pins the
// time of each reply's last byte as it writes it; the log's last write is timed as it happens.
// The waits of two-step operations (0.3 s, 19 s) are run through by their tick handlers: they
// play no part in a reply's latency. A frame whose length cannot be known from its bytes (an
// unknown function code) is handed over only after the 50 ms frame gap; that case is measured
// on a bare pseudo-terminal written from here.

#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "bench/timed_texts.h"
#include "framing/frame_text.h"
#include "operations/operations.h"
#include "operations/timing.h"
#include "serial/frame_assembler.h"
#include "serial/port_discovery.h"
#include "serial/qt_serial_control.h"
#include "sim/pty_pair.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::SpinUntil;

struct Op {
  const char* name;
  void (Operations::*click)();
  int timer;
  bool twoSteps;
};

void MeasureOperations(int reps) {
  sim::SimulatedDetector detector({.address = 1, .measurementTime = 0ms, .pacing = true});
  FixedPortMap map({{1, detector.SlavePath()}});
  QtSerialControl comm(map);
  TimedTexts texts;
  Operations ops(comm, texts);
  long receives = 0;
  comm.SetOnComm([&] {
    ++receives;
    ops.MSComm1_OnComm();
  });
  PortList ports;
  ports.SetOnSelected([&] { OpenSelectedPort(comm, ports); });
  DiscoverPorts(comm, map, ports);
  if (!comm.PortOpen()) {
    std::fprintf(stderr, "the detector's port does not open\n");
    std::exit(1);
  }
  texts.SetAddressText("1");
  const Op opsList[] = {
      {"set address (8-byte echo)", &Operations::SetAddress, 1, true},
      {"query address (7 bytes)", &Operations::QueryAddress, 2, false},
      {"query resistance (9 bytes)", &Operations::QueryResistance, 3, true},
      {"query voltage (7 bytes)", &Operations::QueryVoltage, 5, false},
  };
  for (const Op& op : opsList) {
    std::vector<double> samples;
    for (int i = 0; i < reps + 5; ++i) {  // the first five warm up
      const std::size_t before = detector.ExchangeCount();
      (ops.*op.click)();
      if (op.twoSteps) {
        const long seen = receives;
        detector.WaitForExchanges(before + 1, 1s);
        if (op.timer == 3) SpinUntil([&] { return receives > seen; }, 1s);  // the start's echo
        if (op.timer == 1) {
          for (int t = 0; t <= timing::kSetDelayLimit; ++t) ops.Timer4_Timer();
        } else {
          for (int t = 0; t <= timing::kMeasureDelayLimit; ++t) ops.Timer6_Timer();
        }
      }
      if (!SpinUntil([&] { return !ops.Timer(op.timer).IsOn(); }, 2s) ||
          !texts.LogText().starts_with(op.timer == 1 ? text::kSetSucceeded
                                                     : text::kQuerySucceeded)) {
        std::fprintf(stderr, "%s: no report\n", op.name);
        std::exit(1);
      }
      const std::size_t requests = op.twoSteps ? 2 : 1;
      detector.WaitForExchanges(before + requests, 1s);
      const auto last = detector.Exchanges().back().replyLastByte;
      if (i >= 5) samples.push_back(Ms(texts.lastWrite - last));
    }
    PrintSummary(op.name, samples, "ms");
  }
}

// A frame of unknown length: the tool waits for the line to fall silent for the frame gap.
void MeasureUnknownLength(int reps) {
  sim::PtyPair line;
  FixedPortMap map({{1, line.SlavePath()}});
  QtSerialControl comm(map);
  TimedTexts texts;
  Operations ops(comm, texts);
  comm.SetCommPort(1);
  if (!comm.SetPortOpen(true)) {
    std::fprintf(stderr, "the terminal does not open\n");
    std::exit(1);
  }
  texts.SetAddressText("1");
  std::vector<double> samples;
  const std::uint8_t unknown[] = {0x01, 0x41, 0x00, 0x10, 0x20};  // function 0x41
  for (int i = 0; i < reps + 2; ++i) {
    texts.SetLogText("");
    ops.QueryVoltage();
    std::uint8_t request[8];
    std::size_t got = 0;
    while (got < sizeof request) {
      pollfd p{line.MasterFd(), POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = read(line.MasterFd(), request + got, sizeof request - got);
      if (n > 0) got += static_cast<std::size_t>(n);
    }
    if (write(line.MasterFd(), unknown, sizeof unknown) != sizeof unknown) std::exit(1);
    const auto written = Clock::now();
    SpinUntil([&] { return !ops.Timer(5).IsOn(); }, 2s);
    if (texts.LogText() != text::kQueryFailed) {
      std::fprintf(stderr, "unknown frame: no failure text\n");
      std::exit(1);
    }
    if (i >= 2) samples.push_back(Ms(texts.lastWrite - written) - Ms(kFrameGap));
  }
  PrintSummary("unknown length, beyond the 50 ms gap", samples, "ms");
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int reps = 200;
  if (argc == 3 && std::string(argv[1]) == "--reps") reps = std::atoi(argv[2]);
  if (reps <= 0) {
    std::fprintf(stderr, "usage: karvello-bench-latency [--reps N]\n");
    return 2;
  }
  std::printf("reply latency: last reply byte on the line -> log text updated (%d runs each)\n",
              reps);
  karvello::bench::MeasureOperations(reps);
  karvello::bench::MeasureUnknownLength(std::max(20, reps / 5));
  return 0;
}
