#pragma once
// The survey window ("总线巡检"): every detector on one line. It scans a range of addresses for
// the detectors that answer as themselves, reads their voltages, measures their resistances one
// after another or all at once, and exports its table as CSV. Every outcome goes into the record;
// the window shows the record's rows of a period for the detectors in its table, draws the
// selected detectors' readings of that period as a trend (with the resistance limit), and exports
// both. The limit and the period are kept between runs in the window's own settings. The table
// of addresses is a DetectorTable, the record's rows a RecordModel; its port list (which also
// takes a line's address typed in) and its record are a WindowLine, as the main window's are. It
// has its own engine and survey; the serial line, the port numbering and the probe are handed
// in, as to the main window, so it runs on a real port, a pseudo-terminal or an in-memory line.

#include <QDateTime>
#include <QSettings>
#include <QString>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "engine/engine.h"
#include "engine/survey.h"
#include "record/limit_judgement.h"
#include "record/record.h"
#include "record/record_reader.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/serial_line.h"
#include "ui/detector_table.h"
#include "ui/port_list.h"
#include "ui/window_line.h"

namespace Ui {
class SurveyWindow;
}

namespace karvello {

class TrendChart;
class RecordModel;

// The survey window's own settings: the resistance limit, the readings in a row that raise and
// clear it, and the record's period.
std::unique_ptr<QSettings> SurveySettings();

class SurveyWindow : public QWidget {
  Q_OBJECT
 public:
  // The table's columns.
  enum Column {
    kAddress = DetectorTable::kAddress,
    kVoltage = DetectorTable::kVoltage,
    kVoltageTime = DetectorTable::kVoltageTime,
    kResistance = DetectorTable::kResistance,
    kResistanceTime = DetectorTable::kResistanceTime,
    kState = DetectorTable::kState,
  };

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
  // ShowRecord with the record read on another thread, as 查看记录 does it (and as the window
  // does by itself when the period changes, a run ends or the record is set): the window answers
  // input meanwhile, a reading made while it reads is shown too, and a read overtaken by a newer
  // one is not shown. ReadingRecord() until it is shown.
  void ShowRecordInBackground();
  bool ReadingRecord() const { return reader_->Asked(); }
  // Sets both ends of the period and reads its rows in the background.
  void SetRecordPeriod(const QDateTime& from, const QDateTime& to);
  bool ExportRecord(const QString& path);
  int RecordRowCount() const;

  // The chart of the selected detectors' readings (of every detector when none is selected);
  // ExportChart writes it as a PNG at its size on screen, or of `size` when larger.
  const TrendChart& chart() const { return *chart_; }
  bool ExportChart(const QString& path, QSize size = {});

  // The resistance limit in ohms as the limit box holds it; none when the box is empty or holds
  // no positive number. The detectors above it, in order: those whose alarm the engine's rule
  // leaves raised over their resistance readings of the period, the record's or, without a
  // record, those made in this window; raised and cleared after the readings in a row that the
  // box "连续 N 次" holds (1 to 9, kDefaultAlarmAfter at first).
  std::optional<double> Limit() const { return limit_; }
  std::vector<std::uint8_t> AboveLimit() const;
  // Whether table row `row` is marked as above the limit.
  bool RowMarked(int row) const;

  // Opens the line at `address` as typed into the port box (an entry of the list, COMn, a device
  // path, rtu+tcp://HOST:PORT, tcp://HOST[:PORT]); false, with the reason in the message line,
  // for an address that is none of them or a line that does not open.
  bool OpenAddress(const QString& address);

  // What the window shows, for tests and the tour.
  QString Message() const;
  int RowCount() const;
  QString Cell(int row, Column column) const;
  // The addresses of the rows that are detectors, in order.
  std::vector<std::uint8_t> Detectors() const;
  QString Captions() const;

  Engine& engine() { return engine_; }
  Survey& survey() { return survey_; }
  const PortListModel& portList() const { return line_.List(); }

  void ListPorts();
  void RefreshPorts();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  enum class RunKind { kScan, kMeasure, kVoltages };

  SurveyWindow(SerialLine& line, PortMap& ports, PortProbe* probe, QWidget* parent);
  void ApplyFonts();
  void OnPortChosen();
  bool CanStart();
  // The detectors a measurement or a read of the voltages goes to; none, the message line saying
  // why, when it may not start.
  std::vector<std::uint8_t> ChosenToRun();
  void Began(RunKind kind, const QString& message);
  void OnRow(const SurveyRow& row);
  void OnMeasuring(const std::vector<std::uint8_t>& addresses, std::chrono::seconds left);
  void OnFinished(SurveyEnd end);
  // Writes `lines` after a byte-order mark to `path`; the message line says `done` or why not.
  bool WriteExport(const QString& path, const std::string& lines, const QString& done);
  // The path chosen in a save dialog; `name` takes the time the dialog opens.
  QString AskPath(const QString& title, const QString& name, const QString& filter);
  void AskExport();
  void AskExportRecord();
  void Keep(const Outcome& outcome);
  // The detectors of the rows selected, or of every row when none is.
  std::vector<std::uint8_t> Chosen() const;
  void ShowChart();
  QDateTime PeriodEnd() const;
  void SetPeriodEdits(const QDateTime& from, const QDateTime& to);
  void OnPeriodChanged();
  // Reads the record in the background; `tell`: the message line says so, and how many rows.
  void ReadRecord(bool tell);
  // What the reader reads when it begins: the period's rows of the table's detectors.
  std::optional<RecordReader::Request> RecordRequest() const;
  void OnRecordRead(std::vector<RecordRow> rows);
  void OnLimitEdited(const QString& text);
  void JudgeLimit();
  QString AboveLimitMessage() const;
  void AskExportChart();
  void KeepSettings() const;
  void RestoreSettings();
  void SetRunning(bool running);
  // Shows `message` in the message line, the record's notice after it: one of a failure while it
  // lasts, one of its mending until the next run begins.
  void Say(const QString& message);
  void OnRecordNotice(const Record::Notice& notice);
  void ShowMessage();

  std::unique_ptr<Ui::SurveyWindow> ui_;
  SerialLine& serialLine_;
  WindowLine line_;  // the port list, the opening of the line and the record
  std::unique_ptr<DetectorTable> table_;
  std::unique_ptr<RecordModel> recordModel_;  // the record's rows of the period, as shown
  std::unique_ptr<RecordReader> reader_;      // the record's rows of the period, read meanwhile
  bool tellRead_ = false;                     // 查看记录 asked for the read to show
  std::optional<double> limit_;
  LimitJudgement judgement_;  // over the record's rows, or the readings made without a record
  TrendChart* chart_ = nullptr;
  QString said_;             // the message shown
  QString recordNote_;       // the record's last notice, on one line
  bool noteStands_ = false;  // it tells of a failure, which lasts
  RunKind runKind_ = RunKind::kScan;
  Engine engine_;
  Survey survey_;  // after the engine: it goes first, and with it every call into the window
};

}  // namespace karvello
