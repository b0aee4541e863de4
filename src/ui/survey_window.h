#pragma once
// The survey window ("总线巡检"): every detector on one line. It scans a range of addresses for
// the detectors that answer as themselves, reads their voltages, measures their resistances one
// after another or all at once, and exports its table as CSV. Every outcome goes into the record;
// the window shows the record's rows of a period for the detectors in its table, and exports
// them. It has its own port list, engine
// and survey; the serial line, the port numbering and the probe are handed in, as to the main
// window, so it runs on a real port, a pseudo-terminal or an in-memory line.

#include <QDateTime>
#include <QString>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "engine/survey.h"
#include "record/record.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/serial_line.h"
#include "ui/port_list.h"

namespace Ui {
class SurveyWindow;
}

namespace karvello {

class SurveyWindow : public QWidget {
  Q_OBJECT
 public:
  // The table's columns.
  enum Column { kAddress, kVoltage, kVoltageTime, kResistance, kResistanceTime, kState };

  // Builds the window, lists the ports and opens the first one found, as the main window does.
  SurveyWindow(SerialLine& line, PortMap& ports, QWidget* parent = nullptr);
  SurveyWindow(SerialLine& line, PortMap& ports, PortProbe& probe, QWidget* parent = nullptr);
  ~SurveyWindow() override;

  // The record each outcome is appended to as it comes (none: not kept). A record that cannot be
  // written is warned of once; the runs go on.
  void SetRecord(Record* record);

  // The buttons' actions; each false when it sent nothing (the message line says why).
  bool StartScan();
  bool StartMeasure();
  bool StartReadVoltages();
  void StopRun();
  // The table as CSV in UTF-8 with a byte-order mark; ExportCsv writes it to `path`.
  QByteArray TableCsv() const;
  bool ExportCsv(const QString& path);

  // The record's rows from the period chosen for the detectors in the table (none without a
  // record or a detector), shown in the record's table; ExportRecord writes them to `path` as the
  // record holds them (UTF-8 with a byte-order mark, its header, its lines).
  std::vector<RecordRow> RecordRows() const;
  void ShowRecord();
  void SetRecordPeriod(const QDateTime& from, const QDateTime& to);
  bool ExportRecord(const QString& path);
  int RecordRowCount() const;

  // What the window shows, for tests and the tour.
  QString Message() const;
  int RowCount() const;
  QString Cell(int row, Column column) const;
  // The addresses of the rows that are detectors, in order.
  std::vector<std::uint8_t> Detectors() const;
  QString Captions() const;

  Engine& engine() { return engine_; }
  Survey& survey() { return survey_; }
  const PortListModel& portList() const { return portList_; }

  void ListPorts();
  void RefreshPorts();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Row {
    bool detector = false;
    QString voltage, voltageTime, resistance, resistanceTime, state;
  };
  enum class RunKind { kScan, kMeasure, kVoltages };

  SurveyWindow(SerialLine& line, PortMap& ports, std::unique_ptr<PortProbe> ownProbe,
               PortProbe* probe, QWidget* parent);
  void ApplyFonts();
  void OnPortChosen();
  bool CanStart();
  void Began(RunKind kind, const QString& message);
  void OnRow(const SurveyRow& row);
  void OnMeasuring(const std::vector<std::uint8_t>& addresses, std::chrono::seconds left);
  void OnFinished(SurveyEnd end);
  void AskExport();
  void AskExportRecord();
  void Keep(const Outcome& outcome);
  // The detectors of the rows selected, or of every row when none is.
  std::vector<std::uint8_t> Chosen() const;
  void ShowRows();
  void SetRunning(bool running);
  void Say(const QString& message);

  std::unique_ptr<PortProbe> ownProbe_;
  std::unique_ptr<Ui::SurveyWindow> ui_;
  SerialLine& line_;
  PortMap& ports_;
  PortProbe& probe_;
  PortListModel portList_;
  std::map<std::uint8_t, Row> rows_;
  RunKind runKind_ = RunKind::kScan;
  Record* record_ = nullptr;
  int openedPort_ = 0;  // the port opened last, for an outcome that comes as the port goes
  Engine engine_;
  Survey survey_;  // after the engine: it goes first, and with it every call into the window
};

}  // namespace karvello
