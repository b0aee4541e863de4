// karvello-sim: the simulated detector as a program of its own. It serves a pseudo-terminal that
// it makes (and whose path it prints), or a serial device it is given (a real port wired to the
// tool's port by a null-modem cable, one end of a virtual pair), and prints every frame it
// receives and sends, in hexadecimal, with the time of day to the millisecond.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "process/stop_signals.h"
#include "sim/serial_device.h"
#include "sim/sim_options.h"
#include "sim/sim_printer.h"
#include "sim/simulated_detector.h"

namespace {

using karvello::sim::DetectorConfig;
using karvello::sim::FaultAt;
using karvello::sim::Setup;
using karvello::sim::SimulatedDetector;
using karvello::sim::UsageError;
using namespace std::chrono_literals;

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("karvello-sim"));
  QCommandLineParser parser;
  karvello::sim::AddSimOptions(parser);
  if (!parser.parse(QCoreApplication::arguments())) {
    // A serial setting asked for: the simulated line is 9600 8N1, as the detector's.
    bool serial = false;
    for (const QString& name : parser.unknownOptionNames()) {
      serial = serial || name.contains(QStringLiteral("baud"), Qt::CaseInsensitive) ||
               name.contains(QStringLiteral("parity"), Qt::CaseInsensitive) ||
               name.contains(QStringLiteral("bits"), Qt::CaseInsensitive);
    }
    std::fprintf(stderr, "karvello-sim: %s%s\n", qPrintable(parser.errorText()),
                 serial ? " The line is always 9600 baud 8N1, as the detector's." : "");
    return 1;
  }
  if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "karvello-sim: unexpected argument \"%s\" (see --help)\n",
                 parser.positionalArguments().first().toLocal8Bit().constData());
    return 1;
  }

  Setup setup;
  std::unique_ptr<SimulatedDetector> detector;
  try {
    setup = karvello::sim::ReadSimOptions(parser);
    if (setup.listen) {
      detector = std::make_unique<SimulatedDetector>(
          setup.bus, setup.line,
          karvello::sim::TcpListener(setup.listen->first, setup.listen->second), setup.tcp);
    } else if (setup.device.empty()) {
      detector = std::make_unique<SimulatedDetector>(setup.bus, setup.line);
    } else {
      detector = std::make_unique<SimulatedDetector>(setup.bus, setup.line,
                                                     karvello::sim::OpenSerialDevice(setup.device));
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "karvello-sim: %s\n", e.message.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "karvello-sim: %s\n", e.what());
    return 1;
  }
  if (setup.fault) detector->SetFault(*setup.fault, setup.faultTimes);
  for (const FaultAt& f : setup.faultsAt) detector->SetFault(f.address, f.fault, setup.faultTimes);

  const karvello::StopSignals stop;

  if (setup.isBus) std::printf("A bus of %zu detectors on one line.\n", setup.bus.size());
  if (setup.bus.front().present) {
    for (const DetectorConfig& c : setup.bus) {
      std::printf(
          "Simulated detector at address %d: reading %d with %d decimal place(s), %d V, "
          "measurement %lld ms%s.\n",
          c.address, c.resistance, c.decimalCount, c.voltage,
          static_cast<long long>(c.measurementTime.count()), setup.line.pacing ? ", paced" : "");
    }
  } else {
    std::printf("No detector on the line: nothing answers.\n");
  }
  if (setup.line.echo) std::printf("The line echoes every request.\n");
  const std::string replies = setup.faultTimes == karvello::sim::kPersistent
                                  ? "every reply"
                                  : "the next " + std::to_string(setup.faultTimes) + " replies";
  if (setup.fault) std::printf("Fault %s on %s.\n", setup.faultName.c_str(), replies.c_str());
  for (const FaultAt& f : setup.faultsAt) {
    std::printf("Fault %s at address %d on %s.\n", f.name.c_str(), f.address, replies.c_str());
  }
  if (const karvello::sim::TcpListener* tcp = detector->Listener()) {
    const bool mbap = setup.tcp.framing == karvello::sim::TcpConfig::Framing::kModbusTcp;
    const std::string host =
        tcp->Host().find(':') == std::string::npos ? tcp->Host() : "[" + tcp->Host() + "]";
    std::printf(
        "Serving %s://%s:%u (%s, one client at a time: a new one replaces it). Ctrl+C "
        "stops.\n",
        mbap ? "tcp" : "rtu+tcp", host.c_str(), static_cast<unsigned>(tcp->Port()),
        mbap ? "Modbus TCP, the unit id the detector's address" : "RTU frames over TCP");
  } else if (setup.device.empty()) {
    std::printf("Serving %s (a pseudo-terminal: open it as the serial port). Ctrl+C stops.\n",
                detector->SlavePath().c_str());
  } else {
    std::printf("Serving %s at 9600 8N1. Ctrl+C stops.\n", setup.device.c_str());
  }
  std::fflush(stdout);

  karvello::sim::ExchangePrinter printer(stdout);
  while (!stop.Came()) {
    detector->WaitForExchanges(printer.Done() + 1, 100ms);
    printer.PrintNew(*detector);
  }
  std::printf("Stopped after %zu request(s).\n", printer.Done());
  return 0;
}
