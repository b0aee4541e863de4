// karvello-cli: the detector's operations from a terminal, a script or a site gateway, with the
// same frames, reply search and outcomes as the window. See karvello-cli --help.

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_history.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_record.h"
#include "cli/cli_session.h"
#include "cli/console.h"
#include "cli/watch_broker.h"
#include "gateway/scada_service.h"
#include "gateway/site_http_service.h"
#include "gateway/site_schema.h"
#include "gateway/site_state.h"
#include "present/shown_text.h"
#include "process/stop_signals.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/qt_serial_line.h"

namespace {

using namespace karvello;
using namespace karvello::cli;

// A message may hold what was given (a port's name, a host): no control character of it reaches
// the terminal or the journal.
void Error(const std::string& message) {
  std::fprintf(stderr, "karvello-cli: %s\n", EscapedText(message).c_str());
}

// The system's ports (those above COM16 too), each tried at once; a port whose open does not
// return within the probe's bound is left out and said so on standard error.
int ListPorts(Printer& printer) {
  SystemPortMap ports;
  QtPortProbe probe(ports);
  std::vector<int> numbers;
  for (int n : ports.Numbers()) {
    if (n >= kFirstPortNumber && n <= kHighestPortNumber) numbers.push_back(n);
  }
  const std::vector<Probed> found = probe.TryAll(numbers);
  bool any = false;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::string name = "COM" + std::to_string(numbers[i]);
    const std::string path = ports.DevicePath(numbers[i]).value_or(std::string());
    if (found[i] == Probed::kTimedOut) {
      char bound[16];
      std::snprintf(bound, sizeof bound, "%g", std::chrono::duration<double>(kProbeBound).count());
      Error(name + " (" + path + ") did not open within " + bound + " s: left out");
      continue;
    }
    any = true;
    char number[16];
    std::snprintf(number, sizeof number, "%-6s ", name.c_str());
    printer.Text(number + path + (found[i] == Probed::kOpens ? "" : "  (does not open)") + "\n");
  }
  if (!any) printer.Text("no serial port found\n");
  return kAnswered;
}

// The status once standard output is flushed: 8 when it could not be written, said on standard
// error; a pipe closed by its reader (`| head -1`) is a quiet end that changes nothing (a watch
// or a scan ended by it ends as if stopped).
int Ended(Printer& printer, int status) {
  printer.Flush();
  if (!printer.Failed() || printer.Closed()) return status;
  Error("standard output could not be written: " + printer.FailureText());
  return kOutputUnwritable;
}

}  // namespace

int main(int argc, char** argv) {
  const Console console;
  // The line's own messages (a lost line, the frames when asked for) read as the tool's, without
  // Qt's category: on a terminal and in the journal alike.
  qSetMessagePattern(QStringLiteral("karvello-cli: %{message}"));
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
  Printer printer(run.format, run.verbose, stdout);
  if (run.help) {
    printer.Text(HelpText(run.command));
    return Ended(printer, kAnswered);
  }
  if (run.version) {
    printer.Text(std::string("karvello-cli ") + KARVELLO_VERSION + "\n");
    return Ended(printer, kAnswered);
  }
  if (run.listPorts && run.command == Command::kNone) return Ended(printer, ListPorts(printer));
  if (run.command == Command::kHistory) {
    // The record alone: no line is opened.
    const QString path =
        run.recordFile.empty() ? DefaultRecordPath() : QString::fromStdString(run.recordFile);
    return Ended(printer, PrintHistory(run, path, printer));
  }
  // The broker of a watch, checked before the port opens.
  std::unique_ptr<WatchBroker> broker;
  try {
    broker = MakeWatchBroker(run);
  } catch (const UsageError& error) {
    Error(error.what());
    return kUsage;
  }

  // The line: the address given (a port numbered, a device, a network line), or the first
  // numbered port that opens.
  const std::unique_ptr<PortMap> ports = PortsFor(run.port);
  LineAddress address;
  if (run.port) {
    address = *run.port;
  } else {
    QtPortProbe probe(*ports);
    const auto first = FirstPortThatOpens(probe);
    if (!first) {
      Error("no serial port opens (see karvello-cli --list-ports)");
      return kPortUnavailable;
    }
    address = *first;
    Error(
        "no port given: using " + address.text +
        (ports->DevicePath(address.number) ? " (" + *ports->DevicePath(address.number) + ")" : ""));
  }
  const std::string label = address.text;
  QtSerialLine line(*ports);
  line.SetNetworkSettings(run.network);
  if (!line.Open(address)) {
    const OpenFailure& why = line.Failure();
    if (why.noDevice) {
      Error(label + " has no device (see karvello-cli --list-ports)");
    } else {
      const std::string reason = why.errorTold ? why.error : why.reason;
      // A Modbus TCP gateway's port was not given: say which one was tried.
      const bool portTried = address.kind == LineAddress::Kind::kModbusTcp &&
                             !label.ends_with(":" + std::to_string(address.port));
      Error(label + (why.device.empty() ? "" : " (" + why.device + ")") + " does not open" +
            (reason.empty() ? "" : ": " + reason) +
            (portTried ? " (tried port " + std::to_string(address.port) +
                             ", Modbus TCP's; give another as tcp://HOST:PORT)"
                       : ""));
    }
    return kPortUnavailable;
  }

  OutcomeRecord record(run.record);
  // The site as a watch leaves it, for any front end of the gateway to read.
  std::optional<gateway::SiteState> site;
  if (run.command == Command::kWatch) {
    site.emplace(run.site.empty() ? gateway::DefaultSite() : run.site);
    site->SetLine({label, true, {}});
  }
  // The SCADA's server, from the site's state alone: listening before any reading is made.
  std::unique_ptr<QObject> scada;
  if (site && run.modbusServer) {
    std::string why;
    scada = gateway::ServeScada(*site, *run.modbusServer, &why);
    if (!scada) {
      Error("--modbus-server: cannot listen at " + gateway::ListenAddressText(*run.modbusServer) +
            ": " + why);
      return kUsage;
    }
  }
  // The site's page and metrics, read-only, from threads of their own.
  std::shared_ptr<void> http;
  if (site && run.http) {
    std::string why;
    http = gateway::ServeHttp(*site, run.every, *run.http, &why);
    if (!http) {
      Error("--http: " + why);
      return kUsage;
    }
  }
  Session session(run, line, label, printer, record, site ? &*site : nullptr);
  // A watch that lost its serial port opens it again at the same address: the same device path,
  // or the same port number with the system's ports looked at again. A network line stays open
  // and connects again by itself for its next request.
  session.SetReopen([&ports, &line, &address] {
    ports->Refresh();
    return line.Open(address);
  });
  if (broker) broker->Attach(session, site ? &*site : nullptr);
  // A watch or a scan ends after the exchange in progress on Ctrl-C, SIGTERM or SIGHUP (on
  // Windows Ctrl-C, Ctrl-Break or the console window closing); a single operation ends as any
  // program does.
  std::optional<StopSignals> stop;
  if (run.command == Command::kWatch || run.command == Command::kScan) {
    stop.emplace();
    stop->OnEach(&app, [&session] { session.Stop(); });
  }
  int status = session.Run();
  if (broker) {
    broker->Finish();
    // A watch of counted rounds that ran them all is done only when the broker has them too;
    // one stopped (the service's) ends as it was asked to.
    if (status == kAnswered && run.count > 0 && !session.Stopped() && broker->Undelivered() > 0) {
      status = kNotDelivered;
    }
  }
  return Ended(printer, status);
}
