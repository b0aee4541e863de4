#pragma once
// One run of a karvello-cli command on an open line: the engine's operations carried out, each
// outcome printed and recorded, and the exit status.

#include <QEventLoop>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_record.h"
#include "engine/engine.h"
#include "serial/serial_line.h"

namespace karvello {
class Survey;
}

namespace karvello::gateway {
class SiteState;
class Watch;
}

namespace karvello::cli {

class Session {
 public:
  // The line must be open and outlive the session. `port` names it in the output and the record.
  // A watch rides out a lost line: each reading while it is gone is a line-lost outcome, printed
  // and recorded, and the line is opened again (SetReopen) before each one until it is back.
  // Every other command ends with the line. `site`, when given, is fed by a watch.
  Session(const Invocation& run, SerialLine& line, std::string port, Printer& printer,
          OutcomeRecord& record, gateway::SiteState* site = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Carries out the command; returns its exit status. The line is closed at the end. A watch or
  // a scan whose output fails ends after the exchange in progress, as if stopped.
  int Run();
  // Ends a watch or a scan after the exchange in progress (a second call: at once).
  void Stop();
  // The same, the watch then ending with `status` (the broker refused it).
  void End(int status);
  // Whether it was asked to stop before its work was done (Stop or End).
  bool Stopped() const { return stopAsked_; }

  // A watch's readings and its alarms' changes, for the broker; each after it is printed and
  // recorded.
  using ReadingHandler = std::function<void(const Outcome& outcome, int address,
                                            std::string_view port, const QDateTime& when)>;
  using AlarmHandler = std::function<void(const AlarmChange& change)>;
  void SetOnReading(ReadingHandler handler) { onReading_ = std::move(handler); }
  void SetOnAlarm(AlarmHandler handler) { onAlarm_ = std::move(handler); }
  // The port as the output and the record name it.
  const std::string& Port() const { return port_; }
  // The record's path (empty with --no-record), and whether its last append was kept.
  QString RecordPath() const { return record_.Status().path; }
  bool LastRowKept() const { return !record_.Status().failing; }
  // Opens the line again at its address, after a watch lost it; true when it is open.
  void SetReopen(std::function<bool()> reopen) { reopen_ = std::move(reopen); }

 private:
  struct Step {
    Operation operation;
    std::uint8_t address;
  };

  void StartNext();
  void OnOutcome(const Outcome& outcome);
  void OnProgress(const Progress& progress);
  void ShowProgress(const Progress& progress, int address);
  void ClearProgress();
  void Finish(int status);
  void Emit(const Outcome& outcome, int address);
  // Says once that a serial server's address may be a Modbus TCP gateway's, when it acts as one.
  void HintAtModbusTcp(const Outcome& outcome);
  void RunWatch();
  void RunScan();

  const Invocation& run_;
  SerialLine& line_;
  std::string port_;
  Printer& printer_;
  OutcomeRecord& record_;
  gateway::SiteState* site_;
  Engine engine_;
  std::unique_ptr<Survey> survey_;
  std::unique_ptr<gateway::Watch> watch_;
  QEventLoop loop_;
  int status_ = kAnswered;
  // Ending after the exchange in progress; an exchange in progress; ended.
  bool stopping_ = false;
  bool inFlight_ = false;
  bool finished_ = false;
  // The seconds left of a measurement stand on standard error.
  bool progressShown_ = false;
  bool stopAsked_ = false;
  // The measurement waited for, if any: its address and when its wait ends.
  int measuringAt_ = 0;
  std::chrono::steady_clock::time_point measuredBy_{};
  bool hinted_ = false;

  // The steps of a one-shot command and the one in flight.
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  // A scan: the detectors found, and the most telling failure met.
  int found_ = 0;
  int failure_ = kAnswered;
  ReadingHandler onReading_;
  AlarmHandler onAlarm_;
  std::function<bool()> reopen_;
};

}  // namespace karvello::cli
