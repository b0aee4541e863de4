// karvello-cli: the detector's operations from a terminal, a script or a site gateway, with the
// same frames, reply search and outcomes as the window. See karvello-cli --help.

#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_record.h"
#include "cli/cli_session.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/qt_serial_line.h"

#ifdef Q_OS_UNIX
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace {

// The signal handler writes a byte here; the event loop reads it and stops the session.
int stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

bool CatchStopSignals() {
  if (::pipe(stopPipe) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM}) sigaction(signal, &action, nullptr);
  return true;
}

}  // namespace
#endif

namespace {

using namespace karvello;
using namespace karvello::cli;

void Error(const std::string& message) {
  std::fprintf(stderr, "karvello-cli: %s\n", message.c_str());
}

int ListPorts() {
  SystemPortMap ports;
  QtPortProbe probe(ports);
  bool any = false;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    const auto path = ports.DevicePath(n);
    if (!path) continue;
    any = true;
    std::printf("COM%-3d %s%s\n", n, path->c_str(), probe.Opens(n) ? "" : "  (does not open)");
  }
  if (!any) std::printf("no serial port found\n");
  return kAnswered;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("karvello"));
  QCoreApplication::setApplicationVersion(QStringLiteral(KARVELLO_VERSION));

  Invocation run;
  try {
    run = Parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    Error(error.what());
    return kUsage;
  }
  if (run.help) {
    std::fputs(HelpText(run.command).c_str(), stdout);
    return kAnswered;
  }
  if (run.version) {
    std::printf("karvello-cli %s\n", KARVELLO_VERSION);
    return kAnswered;
  }
  if (run.listPorts && run.command == Command::kNone) return ListPorts();

  // The port: the device named, the port numbered, or the first that opens.
  std::unique_ptr<PortMap> ports;
  int number = 0;
  std::string label;
  if (run.port && run.port->number == 0) {
    ports = std::make_unique<FixedPortMap>(std::map<int, std::string>{{1, run.port->devicePath}});
    number = 1;
    label = run.port->devicePath;
  } else {
    ports = std::make_unique<SystemPortMap>();
    if (run.port) {
      number = run.port->number;
    } else {
      QtPortProbe probe(*ports);
      for (int n = kFirstPortNumber; n <= kLastPortNumber && number == 0; ++n) {
        if (probe.Opens(n)) number = n;
      }
      if (number == 0) {
        Error("no serial port opens (see karvello-cli --list-ports)");
        return kPortUnavailable;
      }
    }
    label = "COM" + std::to_string(number);
  }
  QtSerialLine line(*ports);
  if (!line.Open(number)) {
    const auto path = ports->DevicePath(number);
    Error(path ? (label == *path ? label : label + " (" + *path + ")") + " does not open"
               : label + " has no device (see karvello-cli --list-ports)");
    return kPortUnavailable;
  }

  Printer printer(run.format, run.verbose, stdout);
  OutcomeRecord record(run.record);
  Session session(run, line, label, printer, record);
#ifdef Q_OS_UNIX
  // A watch or a scan ends after the exchange in progress on Ctrl-C or SIGTERM; a single
  // operation ends as any program does.
  std::unique_ptr<QSocketNotifier> stop;
  if ((run.command == Command::kWatch || run.command == Command::kScan) && CatchStopSignals()) {
    stop = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(stop.get(), &QSocketNotifier::activated, [&session] {
      char byte = 0;
      [[maybe_unused]] const auto read = ::read(stopPipe[0], &byte, 1);
      session.Stop();
    });
  }
#endif
  return session.Run();
}
