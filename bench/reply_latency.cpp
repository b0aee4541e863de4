// karvello-bench-latency: the time from the last byte of a reply on the line to the report in the
// real window's log box, for each operation, and the same for libmodbus on the same simulated
// detector in the same run.
//
//   karvello-bench-latency [--reps N] [--modbus-reps M] [--help]
//
// The tool: the real MainWindow (Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise)
// over QtSerialLine on a pseudo-terminal, its engine and presenter and the real event loop. The
// simulated detector paces its replies as at 9600 baud (one byte every 1.04 ms) and pins the time
// of each reply's last byte just before its write (Exchange::replyLastByte; so a figure may be
// too large by the write's own time, but is never below zero); the report is timed as the
// window's SetLogText returns, the log box's text set and laid out. The delays of two-step
// operations (0.3 s, 19 s) are run out at once (Deadline::Expire): they play no part in a reply's
// latency. Bytes that cannot be the reply are judged once the line has been silent for the 50 ms
// gap; that case is measured on a bare pseudo-terminal written from here, as the time to the
// failure text beyond the gap.
//
// libmodbus: a modbus_t RTU context on the same detector's pseudo-terminal (the tool's port
// closed meanwhile), timed from the reply's last byte to the return of modbus_read_registers (or
// modbus_write_register for the echo). The ratio tool / libmodbus is printed for each reply that
// both can take.

#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "engine/engine.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/pty_pair.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "ui/log_texts.h"
#include "ui/main_window.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::SpinUntil;

// The real window, with the time each log text has been set in the log box.
class TimedWindow : public MainWindow {
 public:
  using MainWindow::MainWindow;
  void SetLogText(const std::string& text) override {
    writeStart = SteadyClock::now();
    MainWindow::SetLogText(text);
    lastWrite = SteadyClock::now();
    ++writes;
  }
  SteadyClock::time_point writeStart;  // the report handed to the window
  SteadyClock::time_point lastWrite;   // and set in the log box
  long writes = 0;
};

struct Op {
  const char* name;
  const char* key;  // names the same reply in the libmodbus rows
  Operation operation;
  bool twoSteps;  // a delay before the second request, run out at once
};

std::map<std::string, double> g_medians;
// Spin the event loop (never sleep in it) rather than let it wait for the line as the tool does.
bool g_spin = false;

// Runs the event loop until `done`: the tool's own way (asleep until the line or a timer wakes
// it), or spinning.
template <typename Done>
bool Await(Done done, std::chrono::milliseconds timeout) {
  if (g_spin) return SpinUntil(done, timeout, 1ms);
  return testing::RunUntil(done, timeout);
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return Quantile(samples, 0.5);
}

void MeasureWindow(sim::SimulatedDetector& detector, int reps) {
  FixedPortMap map({{1, detector.SlavePath()}});
  QtSerialLine line(map);
  TimedWindow window(line, map);
  window.show();
  Engine& engine = window.engine();
  auto* logBox = window.findChild<QPlainTextEdit*>("logBox");
  if (!line.IsOpen() || logBox == nullptr) {
    std::fprintf(stderr, "the window did not open the detector's port\n");
    std::exit(1);
  }
  window.SetAddressText("1");
  const Op ops_list[] = {
      {"set address (8-byte echo)", "echo", Operation::kSetAddress, true},
      {"query address (7 bytes)", "address", Operation::kQueryAddress, false},
      {"query resistance (9 bytes)", "resistance", Operation::kQueryResistance, true},
      {"query voltage (7 bytes)", "voltage", Operation::kQueryVoltage, false},
  };
  for (const Op& op : ops_list) {
    std::vector<double> samples;
    std::vector<double> inBox;
    for (int i = 0; i < reps + 5; ++i) {  // the first five warm up
      const std::size_t before = detector.ExchangeCount();
      window.presenter().Press(op.operation);
      if (op.twoSteps) {
        // The first request answered (and its echo, if any, in and dropped), then the delay run
        // out.
        detector.WaitForExchanges(before + 1, 1s);
        testing::RunFor(12ms);
        engine.RunOut(op.operation, Engine::Wait::kDelay);
      }
      const bool ended = Await([&] { return !engine.InFlight(op.operation); }, 2s);
      const std::string shown = window.LogText();
      const bool report = shown.starts_with(
          op.operation == Operation::kSetAddress ? text::kSetSucceeded : text::kQuerySucceeded);
      QString boxed = QString::fromStdString(shown).replace(QStringLiteral("\r\n"), "\n");
      if (!ended || !report || logBox->toPlainText() != boxed) {
        std::fprintf(stderr, "%s: no report in the log box (log: %s)\n", op.name, shown.c_str());
        std::exit(1);
      }
      const std::size_t requests = op.twoSteps ? 2 : 1;
      detector.WaitForExchanges(before + requests, 1s);
      const auto last = detector.Exchanges().back().replyLastByte;
      if (i >= 5) {
        samples.push_back(Ms(window.lastWrite - last));
        inBox.push_back(Ms(window.lastWrite - window.writeStart));
      }
    }
    g_medians[op.key] = Median(samples);
    PrintSummary(std::string("window: ") + op.name, samples, "ms");
    PrintSummary("  of which setting the log box", inBox, "ms");
  }
  line.Close();
}

// libmodbus on the same detector, its own context, the tool's port closed.
void MeasureLibmodbus(sim::SimulatedDetector& detector, int reps) {
  modbus_t* ctx = modbus_new_rtu(detector.SlavePath().c_str(), 9600, 'N', 8, 1);
  if (ctx == nullptr || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
    std::exit(1);
  }
  modbus_set_response_timeout(ctx, 1, 300000);
  struct Call {
    const char* name;
    const char* key;
    int (*call)(modbus_t*);
  };
  const Call calls[] = {
      {"write register 0x12 (8-byte echo)", "echo",
       [](modbus_t* c) { return modbus_write_register(c, 0x12, 1); }},
      {"read 0x0D..0x0E (9 bytes)", "resistance",
       [](modbus_t* c) {
         std::uint16_t regs[2];
         return modbus_read_registers(c, 0x0D, 2, regs);
       }},
      {"read 0x0F (7 bytes)", "voltage",
       [](modbus_t* c) {
         std::uint16_t regs[1];
         return modbus_read_registers(c, 0x0F, 1, regs);
       }},
  };
  for (const Call& call : calls) {
    std::vector<double> samples;
    for (int i = 0; i < reps + 5; ++i) {
      const std::size_t before = detector.ExchangeCount();
      if (call.call(ctx) < 0) {
        std::fprintf(stderr, "libmodbus %s: %s\n", call.name, modbus_strerror(errno));
        std::exit(1);
      }
      const auto done = SteadyClock::now();
      detector.WaitForExchanges(before + 1, 1s);
      const auto last = detector.Exchanges().back().replyLastByte;
      if (i >= 5) samples.push_back(Ms(done - last));
    }
    const double tool = g_medians.count(call.key) ? g_medians[call.key] : NAN;
    const double lib = Median(samples);
    PrintSummary(std::string("libmodbus: ") + call.name, samples, "ms");
    std::printf("%-40s tool %.3f ms / libmodbus %.3f ms = %.2f\n",
                (std::string("  ratio, ") + call.key).c_str(), tool, lib, tool / lib);
  }
  modbus_close(ctx);
  modbus_free(ctx);
}

// Bytes that cannot be the reply: judged once the line has fallen silent for the gap.
void MeasureStrayBytes(int reps) {
  sim::PtyPair pty;
  FixedPortMap map({{1, pty.SlavePath()}});
  QtSerialLine line(map);
  TimedWindow window(line, map);
  if (!line.IsOpen()) {
    std::fprintf(stderr, "the terminal does not open\n");
    std::exit(1);
  }
  window.SetAddressText("1");
  Engine& engine = window.engine();
  std::vector<double> samples;
  const std::uint8_t stray[] = {0x01, 0x41, 0x00, 0x10, 0x20};  // function 0x41: no reply
  for (int i = 0; i < reps + 2; ++i) {
    window.SetLogText("");
    window.presenter().Press(Operation::kQueryVoltage);
    std::uint8_t request[8];
    std::size_t got = 0;
    while (got < sizeof request) {
      pollfd p{pty.MasterFd(), POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = read(pty.MasterFd(), request + got, sizeof request - got);
      if (n > 0) got += static_cast<std::size_t>(n);
    }
    if (write(pty.MasterFd(), stray, sizeof stray) != sizeof stray) std::exit(1);
    const auto written = SteadyClock::now();
    Await([&] { return !engine.InFlight(Operation::kQueryVoltage); }, 2s);
    if (window.LogText() != text::kQueryFailed) {
      std::fprintf(stderr, "stray bytes: no failure text\n");
      std::exit(1);
    }
    if (i >= 2) samples.push_back(Ms(window.lastWrite - written) - Ms(kFrameGap));
  }
  PrintSummary("window: stray bytes, beyond the 50 ms gap", samples, "ms");
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: karvello-bench-latency [--reps N] [--modbus-reps M] [--spin] [--help]\n"
               "Times each reply from its last byte on the line to the report in the real\n"
               "window's log box (offscreen), N runs per operation (default 200), then the\n"
               "same replies through libmodbus on the same paced simulated detector, M runs\n"
               "each (default N), and prints the ratio of the medians. Also times stray bytes\n"
               "judged after the 50 ms gap (N / 5 runs, at least 20). The event loop sleeps\n"
               "until the line wakes it, as in the tool; --spin keeps it spinning instead, so\n"
               "that no wake-up of a sleeping thread is in the figures.\n");
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  int reps = 200;
  int modbusReps = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      karvello::bench::Usage(stdout);
      return 0;
    }
    if (arg == "--spin") {
      karvello::bench::g_spin = true;
      continue;
    }
    if ((arg == "--reps" || arg == "--modbus-reps") && i + 1 < argc) {
      (arg == "--reps" ? reps : modbusReps) = std::atoi(argv[++i]);
      continue;
    }
    karvello::bench::Usage(stderr);
    return 2;
  }
  if (modbusReps < 0) modbusReps = reps;
  if (reps <= 0 || modbusReps <= 0) {
    karvello::bench::Usage(stderr);
    return 2;
  }
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  std::printf(
      "reply latency: last reply byte on the line -> report in the log box (%d runs each, "
      "event loop %s)\n",
      reps, karvello::bench::g_spin ? "spinning" : "asleep until woken");
  {
    using namespace std::chrono_literals;
    karvello::sim::SimulatedDetector detector(
        {.address = 1, .measurementTime = 0ms, .pacing = true});
    karvello::bench::MeasureWindow(detector, reps);
    karvello::bench::MeasureLibmodbus(detector, modbusReps);
  }
  karvello::bench::MeasureStrayBytes(std::max(20, reps / 5));
  return 0;
}
