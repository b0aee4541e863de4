#include "ui/survey_window.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDate>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFile>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPromise>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QThreadPool>
#include <algorithm>
#include <cmath>
#include <set>

#include "engine/alarm_rule.h"
#include "record/csv.h"
#include "ui/application.h"
#include "ui/limit_rule.h"
#include "ui/log_texts.h"
#include "ui/record_warning.h"
#include "ui/reports.h"
#include "ui/song_font.h"
#include "ui/trend_chart.h"
#include "ui_survey_window.h"

namespace karvello {

namespace {

constexpr double kBodyPoints = 12.0;
constexpr double kCaptionPoints = 12.0;

// The settings' keys.
constexpr auto kLimitKey = "limit";
constexpr auto kRecordFromKey = "recordFrom";
constexpr auto kRecordToKey = "recordTo";

// The background of a row above the limit.
const QColor kAboveLimitColour(255, 214, 214);

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString Now() {
  return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// The state of an address that gave something other than a detector answering as itself.
QString NotADetector(const Outcome& read) {
  switch (read.result) {
    case Result::kAnswered:
      return QStringLiteral("地址不符 (%1)").arg(read.value ? read.value->number : 0);
    case Result::kRefused:
      return QStringLiteral("拒绝");
    case Result::kCorrupt:
      return QStringLiteral("回复损坏");
    case Result::kWrongReply:
      return QStringLiteral("回复不符");
    case Result::kLineLost:
      return QStringLiteral("串口断开");
    case Result::kNoReply:
    case Result::kNotSent:
      break;
  }
  return Utf8(text::kQueryFailed);
}

bool IsResistance(Operation operation) {
  // The start of a measurement belongs to the resistance too: its failure is the row's.
  return operation == Operation::kStartMeasurement ||
         Describe(operation).quantity == Quantity::kResistance;
}

// The limit a text gives: a number above 0 ("4", "0.5"); none for an empty text.
std::optional<double> LimitOf(const QString& text, bool* valid) {
  *valid = true;
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return std::nullopt;
  bool number = false;
  const double ohms = trimmed.toDouble(&number);
  if (!number || !std::isfinite(ohms) || ohms <= 0) {
    *valid = false;
    return std::nullopt;
  }
  return ohms;
}

}  // namespace

// The record's rows of the period, as the record's table shows them: the view asks for the rows
// on screen only, so a month of a bus is shown at once.
class RecordModel : public QAbstractTableModel {
 public:
  const std::vector<RecordRow>& Rows() const { return rows_; }
  void SetRows(std::vector<RecordRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
  }
  void Append(RecordRow row) {
    const int at = static_cast<int>(rows_.size());
    beginInsertRows({}, at, at);
    rows_.push_back(std::move(row));
    endInsertRows();
  }

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : kColumns;
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    const RecordRow& row = rows_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
      case 0:
        return row.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
      case 1:
        return QString::fromStdString(row.port);
      case 2:
        return row.address;
      case 3:
        return QString::fromStdString(row.operation);
      case 4:
        return QString::fromStdString(row.result);
      case 5:
        return QString::fromStdString(row.value);
      default:
        return QString::fromStdString(row.unit);
    }
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumns) {
      return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char* const kNames[kColumns] = {"时间", "串口", "地址", "操作",
                                                 "结果", "值",   "单位"};
    return QString::fromUtf8(kNames[section]);
  }

 private:
  static constexpr int kColumns = 7;
  std::vector<RecordRow> rows_;
};

std::unique_ptr<QSettings> SurveySettings() {
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                     QStringLiteral("karvello"), QStringLiteral("survey"));
}

SurveyWindow::SurveyWindow(SerialLine& line, PortMap& ports, QWidget* parent)
    : SurveyWindow(line, ports, std::make_unique<QtPortProbe>(ports), nullptr, parent) {}

SurveyWindow::SurveyWindow(SerialLine& line, PortMap& ports, PortProbe& probe, QWidget* parent)
    : SurveyWindow(line, ports, nullptr, &probe, parent) {}

SurveyWindow::SurveyWindow(SerialLine& line, PortMap& ports, std::unique_ptr<PortProbe> ownProbe,
                           PortProbe* probe, QWidget* parent)
    : QWidget(parent),
      ownProbe_(std::move(ownProbe)),
      ui_(std::make_unique<Ui::SurveyWindow>()),
      line_(line),
      ports_(ports),
      probe_(probe != nullptr ? *probe : *ownProbe_),
      engine_(line),
      survey_(engine_) {
  ui_->setupUi(this);
  chart_ = ui_->trendChart;
  recordModel_ = std::make_unique<RecordModel>();
  ui_->recordTable->setModel(recordModel_.get());
  // The port box takes a line's address typed in, beside the ports it lists.
  ui_->portList->setEditable(true);
  ui_->portList->lineEdit()->setPlaceholderText(QStringLiteral("COM3, rtu+tcp://主机:端口"));
  ui_->limitLabel->setText(
      QStringLiteral("接地电阻上限(%1)").arg(trend::UnitOf(Quantity::kResistance)));
  ui_->recordSplitter->setStretchFactor(0, 2);
  ui_->recordSplitter->setStretchFactor(1, 3);
  setWindowIcon(ApplicationIcon());
  ApplyFonts();
  ui_->table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  ui_->table->horizontalHeader()->setStretchLastSection(true);
  ui_->progress->setValue(0);

  connect(ui_->portList, &QComboBox::activated, this,
          [this](int index) { portList_.Select(index); });
  connect(ui_->portList, &PortListBox::aboutToShowPopup, this, &SurveyWindow::RefreshPorts);
  // An address typed in and confirmed with Enter.
  connect(ui_->portList->lineEdit(), &QLineEdit::returnPressed, this,
          [this] { OpenAddress(ui_->portList->currentText()); });
  connect(ui_->scanButton, &QPushButton::clicked, this, [this] { StartScan(); });
  connect(ui_->stopButton, &QPushButton::clicked, this, [this] { StopRun(); });
  connect(ui_->measureButton, &QPushButton::clicked, this, [this] { StartMeasure(); });
  connect(ui_->voltageButton, &QPushButton::clicked, this, [this] { StartReadVoltages(); });
  connect(ui_->exportButton, &QPushButton::clicked, this, [this] { AskExport(); });
  connect(ui_->showRecordButton, &QPushButton::clicked, this, [this] { ShowRecordInBackground(); });
  connect(ui_->exportRecordButton, &QPushButton::clicked, this, [this] { AskExportRecord(); });
  connect(ui_->exportChartButton, &QPushButton::clicked, this, [this] { AskExportChart(); });
  connect(ui_->table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { ShowChart(); });
  RestoreSettings();
  connect(ui_->limitBox, &QComboBox::currentTextChanged, this, &SurveyWindow::OnLimitEdited);
  connect(ui_->recordFrom, &QDateTimeEdit::dateTimeChanged, this, [this] { OnPeriodChanged(); });
  connect(ui_->recordTo, &QDateTimeEdit::dateTimeChanged, this, [this] { OnPeriodChanged(); });
  ui_->recordTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  ui_->recordTable->horizontalHeader()->setStretchLastSection(true);
  portList_.SetOnSelected([this] { OnPortChosen(); });

  survey_.SetOnOutcome([this](const Outcome& outcome) { Keep(outcome); });
  survey_.SetOnRow([this](const SurveyRow& row) { OnRow(row); });
  survey_.SetOnProgress([this](int done, int total) {
    ui_->progress->setRange(0, total);
    ui_->progress->setValue(done);
  });
  survey_.SetOnMeasuring([this](const std::vector<std::uint8_t>& addresses,
                                std::chrono::seconds left) { OnMeasuring(addresses, left); });
  survey_.SetOnFinished([this](SurveyEnd end) { OnFinished(end); });

  ListPorts();
}

SurveyWindow::~SurveyWindow() = default;

void SurveyWindow::ApplyFonts() {
  const QFont body = SongFont(kBodyPoints, false);
  const QFont caption = SongFont(kCaptionPoints, true);
  for (QWidget* widget : std::initializer_list<QWidget*>{
           ui_->portList, ui_->fromBox, ui_->toBox, ui_->waitBox, ui_->table, ui_->messageLine,
           ui_->recordFrom, ui_->recordTo, ui_->recordTable, ui_->limitBox, ui_->trendChart}) {
    widget->setFont(body);
  }
  for (QWidget* widget : std::initializer_list<QWidget*>{
           ui_->portLabel, ui_->fromLabel, ui_->toLabel, ui_->waitLabel, ui_->scanButton,
           ui_->stopButton, ui_->measureButton, ui_->allAtOnceBox, ui_->voltageButton,
           ui_->exportButton, ui_->recordFromLabel, ui_->recordToLabel, ui_->showRecordButton,
           ui_->exportRecordButton, ui_->limitLabel, ui_->exportChartButton}) {
    widget->setFont(caption);
  }
  ui_->table->horizontalHeader()->setFont(caption);
  ui_->recordTable->horizontalHeader()->setFont(caption);
}

QString SurveyWindow::Captions() const {
  QString text = windowTitle();
  for (const QLabel* label : {ui_->portLabel, ui_->fromLabel, ui_->toLabel, ui_->waitLabel,
                              ui_->recordFromLabel, ui_->recordToLabel, ui_->limitLabel}) {
    text += label->text();
  }
  for (const QAbstractButton* button : std::initializer_list<const QAbstractButton*>{
           ui_->scanButton, ui_->stopButton, ui_->measureButton, ui_->allAtOnceBox,
           ui_->voltageButton, ui_->exportButton, ui_->showRecordButton, ui_->exportRecordButton,
           ui_->exportChartButton}) {
    text += button->text();
  }
  return text;
}

void SurveyWindow::ListPorts() {
  portList_.Probe(ports_, probe_, line_.Port());
  ShowPortList(portList_, *ui_->portList);
  portList_.Select(0);  // an empty list selects nothing and opens nothing
}

void SurveyWindow::RefreshPorts() {
  ports_.Refresh();
  portList_.Probe(ports_, probe_, line_.Port());
  ShowPortList(portList_, *ui_->portList);
  // A line opened by its address stays named in the box.
  if (portList_.SelectedIndex() < 0 && line_.IsOpen()) {
    ui_->portList->setEditText(QString::fromStdString(line_.Name()));
  }
}

void SurveyWindow::OnPortChosen() {
  ShowPortList(portList_, *ui_->portList);
  const int number = portList_.SelectedNumber();
  if (number < kFirstPortNumber || number > kHighestPortNumber) {
    line_.Close();
    return;
  }
  if (line_.Open(number)) openedName_ = line_.Name();
}

bool SurveyWindow::OpenAddress(const QString& typed) {
  const QString text = typed.trimmed();
  // An entry of the list is opened as if chosen from it.
  const auto& entries = portList_.Entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (QString::fromStdString(entries[i].text).compare(text, Qt::CaseInsensitive) == 0) {
      portList_.Select(static_cast<int>(i));
      return line_.IsOpen();
    }
  }
  std::string why;
  const std::optional<LineAddress> address = ParseLineAddress(text.toStdString(), &why);
  if (!address) {
    Say(QStringLiteral("线路地址无效，未打开：%1").arg(QString::fromStdString(why)));
    return false;
  }
  if (!line_.Open(*address)) {
    const std::string error = line_.OpenError();
    Say(QStringLiteral("无法打开 %1%2")
            .arg(text,
                 error.empty() ? QString() : QStringLiteral("：") + QString::fromStdString(error)));
    return false;
  }
  openedName_ = address->text;
  portList_.ClearSelection();
  ShowPortList(portList_, *ui_->portList);
  ui_->portList->setEditText(text);
  Say(QStringLiteral("已打开 %1。").arg(text));
  return true;
}

bool SurveyWindow::CanStart() {
  if (survey_.Running()) return false;
  if (!line_.IsOpen()) {
    Say(QStringLiteral("串口未打开，请选择串口。"));
    return false;
  }
  return true;
}

bool SurveyWindow::StartScan() {
  const ScanSettings settings{.from = ui_->fromBox->value(),
                              .to = ui_->toBox->value(),
                              .wait = std::chrono::milliseconds(ui_->waitBox->value())};
  switch (CheckScanSettings(settings)) {
    case ScanSettingsError::kNone:
      break;
    case ScanSettingsError::kAddressOutOfRange:
      Say(QStringLiteral("地址须在 1 至 255 之间，未扫描。"));
      return false;
    case ScanSettingsError::kFromAboveTo:
      Say(QStringLiteral("起始地址 %1 大于结束地址 %2，未扫描。")
              .arg(settings.from)
              .arg(settings.to));
      return false;
    case ScanSettingsError::kWaitOutOfRange:
      Say(QStringLiteral("等待须在 %1 至 %2 ms 之间，未扫描。")
              .arg(kShortestScanWait.count())
              .arg(kLongestScanWait.count()));
      return false;
  }
  if (!CanStart()) return false;
  // The scan finds the range afresh.
  std::erase_if(rows_, [&](const auto& entry) {
    return entry.first >= settings.from && entry.first <= settings.to;
  });
  ShowRows();
  runKind_ = RunKind::kScan;
  if (!survey_.Scan(settings)) return false;
  Began(RunKind::kScan,
        QStringLiteral("扫描中：地址 %1 至 %2 ...").arg(settings.from).arg(settings.to));
  return true;
}

bool SurveyWindow::StartMeasure() {
  if (!CanStart()) return false;
  const std::vector<std::uint8_t> chosen = Chosen();
  if (chosen.empty()) {
    Say(QStringLiteral("表中没有检测器，请先扫描。"));
    return false;
  }
  const bool allAtOnce = ui_->allAtOnceBox->isChecked();
  runKind_ = RunKind::kMeasure;
  if (!survey_.Measure(chosen, allAtOnce)) return false;
  Began(RunKind::kMeasure, allAtOnce
                               ? QStringLiteral("同时测量 %1 个检测器 ...").arg(chosen.size())
                               : QStringLiteral("逐个测量 %1 个检测器 ...").arg(chosen.size()));
  return true;
}

bool SurveyWindow::StartReadVoltages() {
  if (!CanStart()) return false;
  const std::vector<std::uint8_t> chosen = Chosen();
  if (chosen.empty()) {
    Say(QStringLiteral("表中没有检测器，请先扫描。"));
    return false;
  }
  runKind_ = RunKind::kVoltages;
  if (!survey_.ReadVoltages(chosen)) return false;
  Began(RunKind::kVoltages, QStringLiteral("查询 %1 个检测器的电压 ...").arg(chosen.size()));
  return true;
}

void SurveyWindow::StopRun() {
  if (!survey_.Running()) return;
  Say(QStringLiteral("正在停止 ..."));
  survey_.Stop();
}

void SurveyWindow::Began(RunKind kind, const QString& message) {
  runKind_ = kind;
  SetRunning(true);
  Say(message);
}

void SurveyWindow::OnRow(const SurveyRow& found) {
  Row& row = rows_[found.address];
  if (runKind_ == RunKind::kScan) {
    row = Row{};
    row.detector = found.found;
    if (!found.found) row.state = NotADetector(found.addressRead);
  }
  if (const auto& reading = found.reading) {
    if (reading->result == Result::kAnswered && reading->value) {
      if (IsResistance(reading->operation)) {
        row.resistance = QString::fromStdString(FormatResistance(*reading->value)).trimmed();
        row.resistanceTime = Now();
      } else {
        row.voltage = QString::fromStdString(FormatVoltage(*reading->value));
        row.voltageTime = Now();
      }
      row.state = Utf8(text::kQuerySucceeded);
    } else {
      row.state = Utf8(text::kQueryFailed);
    }
  }
  ShowRows();
}

void SurveyWindow::OnMeasuring(const std::vector<std::uint8_t>& addresses,
                               std::chrono::seconds left) {
  for (std::uint8_t address : addresses) {
    rows_[address].state = Utf8(text::kMeasuring) + QStringLiteral(" %1 秒").arg(left.count());
  }
  ShowRows();
}

void SurveyWindow::OnFinished(SurveyEnd end) {
  SetRunning(false);
  // A measurement cut short has no reading.
  const QString measuring = Utf8(text::kMeasuring);
  for (auto& [address, row] : rows_) {
    if (row.state.startsWith(measuring)) {
      row.state = end == SurveyEnd::kLineLost ? Utf8(text::kQueryFailed) : QStringLiteral("已停止");
    }
  }
  ShowRows();
  ReadRecord(false);
  switch (end) {
    case SurveyEnd::kDone:
      if (runKind_ == RunKind::kScan) {
        Say(QStringLiteral("扫描完成：找到 %1 个检测器。").arg(Detectors().size()));
      } else if (runKind_ == RunKind::kMeasure) {
        Say(QStringLiteral("测量完成。") + AboveLimitMessage());
      } else {
        Say(QStringLiteral("电压查询完成。"));
      }
      break;
    case SurveyEnd::kStopped:
      Say(QStringLiteral("已停止。"));
      break;
    case SurveyEnd::kLineLost:
      Say(QStringLiteral("串口已断开（设备被拔出？），巡检中止；表中保留已得结果。"));
      break;
  }
}

std::vector<std::uint8_t> SurveyWindow::Detectors() const {
  std::vector<std::uint8_t> addresses;
  for (const auto& [address, row] : rows_) {
    if (row.detector) addresses.push_back(address);
  }
  return addresses;
}

std::vector<std::uint8_t> SurveyWindow::Chosen() const {
  std::set<int> selected;
  for (const QModelIndex& index : ui_->table->selectionModel()->selectedRows()) {
    selected.insert(index.row());
  }
  std::vector<std::uint8_t> chosen;
  int rowIndex = 0;
  for (const auto& [address, row] : rows_) {
    if (row.detector && (selected.empty() || selected.contains(rowIndex))) {
      chosen.push_back(address);
    }
    ++rowIndex;
  }
  return chosen;
}

void SurveyWindow::ShowRows() {
  QTableWidget& table = *ui_->table;
  table.setRowCount(static_cast<int>(rows_.size()));
  int index = 0;
  for (const auto& [address, row] : rows_) {
    const bool above = row.detector && raised_.contains(address);
    const QString cells[] = {QString::number(address), row.voltage,        row.voltageTime,
                             row.resistance,           row.resistanceTime, row.state};
    for (int column = 0; column < 6; ++column) {
      QTableWidgetItem* item = table.item(index, column);
      if (item == nullptr) {
        item = new QTableWidgetItem;
        table.setItem(index, column, item);
      }
      if (item->text() != cells[column]) item->setText(cells[column]);
      // What is no detector is shown greyed; a detector above the limit on a red ground.
      item->setForeground(row.detector ? palette().text() : palette().placeholderText());
      item->setBackground(above ? QBrush(kAboveLimitColour) : QBrush());
    }
    ++index;
  }
}

void SurveyWindow::SetRunning(bool running) {
  for (QWidget* widget :
       std::initializer_list<QWidget*>{ui_->scanButton, ui_->measureButton, ui_->voltageButton,
                                       ui_->exportButton, ui_->exportRecordButton, ui_->portList,
                                       ui_->fromBox, ui_->toBox, ui_->waitBox, ui_->allAtOnceBox}) {
    widget->setEnabled(!running);
  }
  ui_->stopButton->setEnabled(running);
}

void SurveyWindow::Say(const QString& message) {
  ui_->messageLine->setText(message);
}

QString SurveyWindow::Message() const {
  return ui_->messageLine->text();
}

int SurveyWindow::RowCount() const {
  return ui_->table->rowCount();
}

QString SurveyWindow::Cell(int row, Column column) const {
  const QTableWidgetItem* item = ui_->table->item(row, column);
  return item != nullptr ? item->text() : QString();
}

QByteArray SurveyWindow::TableCsv() const {
  std::string csv(kUtf8ByteOrderMark);
  const QTableWidget& table = *ui_->table;
  std::vector<std::string> fields;
  for (int column = 0; column < table.columnCount(); ++column) {
    fields.push_back(table.horizontalHeaderItem(column)->text().toStdString());
  }
  csv += CsvLine(fields, "\r\n");
  for (int row = 0; row < table.rowCount(); ++row) {
    fields.clear();
    for (int column = 0; column < table.columnCount(); ++column) {
      fields.push_back(Cell(row, static_cast<Column>(column)).toStdString());
    }
    csv += CsvLine(fields, "\r\n");
  }
  return QByteArray::fromStdString(csv);
}

bool SurveyWindow::ExportCsv(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(TableCsv()) < 0 ||
      !file.flush()) {
    Say(QStringLiteral("导出失败：%1").arg(file.errorString()));
    return false;
  }
  Say(QStringLiteral("已导出 %1 行到 %2").arg(RowCount()).arg(path));
  return true;
}

void SurveyWindow::AskExport() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("导出"),
      QStringLiteral("巡检-%1.csv")
          .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))),
      QStringLiteral("CSV (*.csv)"));
  if (!path.isEmpty()) ExportCsv(path);
}

void SurveyWindow::SetRecord(Record* record) {
  if (record_ != nullptr) record_->SetOnNotice(nullptr);
  record_ = record;
  if (record_ != nullptr) {
    record_->SetOnNotice([this](const Record::Notice& notice) {
      if (notice.kind == Record::Notice::Kind::kNotWritten) {
        WarnRecordFailed(this, notice.path, notice.reason);
      }
    });
  }
  ReadRecord(false);
}

void SurveyWindow::Keep(const Outcome& outcome) {
  const std::string name = line_.IsOpen() ? line_.Name() : openedName_;
  const RecordRow row = RowOf(outcome, name, QDateTime::currentDateTime());
  const bool resistance = Describe(outcome.operation).quantity == Quantity::kResistance;
  if (record_ == nullptr) {
    // Without a record the limit is judged over the readings of this window.
    if (resistance) {
      madeHere_.push_back(row);
      JudgeLimit();
    }
    return;
  }
  record_->Append(row);
  // The record's view and its chart follow the readings of the period's detectors as they come.
  const std::vector<std::uint8_t> detectors = Detectors();
  if (std::find(detectors.begin(), detectors.end(), outcome.address) == detectors.end() ||
      row.time < ui_->recordFrom->dateTime() || row.time > PeriodEnd()) {
    return;
  }
  recordModel_->Append(row);
  if (reading_ != 0) madeReading_.push_back(row);
  if (resistance) JudgeLimit();
  const std::vector<std::uint8_t> chosen = Chosen();
  if (std::find(chosen.begin(), chosen.end(), outcome.address) == chosen.end()) return;
  for (const Quantity quantity : {Quantity::kResistance, Quantity::kVoltage}) {
    for (const trend::Series& series : trend::SeriesOf({row}, quantity)) {
      for (const trend::Point& point : series.points)
        chart_->Append(quantity, series.address, point);
    }
  }
}

QDateTime SurveyWindow::PeriodEnd() const {
  // The edits show whole minutes: the period runs to the end of the minute shown.
  return ui_->recordTo->dateTime().addSecs(59).addMSecs(999);
}

void SurveyWindow::SetRecordPeriod(const QDateTime& from, const QDateTime& to) {
  SetPeriodEdits(from, to);
  OnPeriodChanged();
}

void SurveyWindow::SetPeriodEdits(const QDateTime& from, const QDateTime& to) {
  // Both ends at once: the period between is never read.
  const QSignalBlocker blockFrom(ui_->recordFrom);
  const QSignalBlocker blockTo(ui_->recordTo);
  ui_->recordFrom->setDateTime(from);
  ui_->recordTo->setDateTime(to);
}

void SurveyWindow::OnPeriodChanged() {
  KeepSettings();
  ReadRecord(false);
}

std::vector<RecordRow> SurveyWindow::RecordRows() const {
  const std::vector<std::uint8_t> detectors = Detectors();
  if (record_ == nullptr || detectors.empty()) return {};
  return Record::Read(record_->Path(), ui_->recordFrom->dateTime(), PeriodEnd(),
                      std::set<int>(detectors.begin(), detectors.end()));
}

void SurveyWindow::ShowRecord() {
  readNumber_++;  // a read still in the background is shown no more
  reading_ = 0;
  tellRead_ = false;
  madeReading_.clear();
  recordModel_->SetRows(RecordRows());
  ui_->recordTable->scrollToBottom();
  ShowChart();
  JudgeLimit();
}

void SurveyWindow::ShowRecordInBackground() {
  ReadRecord(true);
}

void SurveyWindow::ReadRecord(bool tell) {
  if (record_ == nullptr || Detectors().empty()) {
    ShowRecord();
    return;
  }
  reading_ = ++readNumber_;
  if (tell) {
    tellRead_ = true;
    Say(QStringLiteral("正在读取记录 ..."));
  }
  // One read at a time: a read asked for while another runs begins when that one ends, which is
  // then not shown.
  if (!readRunning_) BeginRead();
}

void SurveyWindow::BeginRead() {
  const std::vector<std::uint8_t> detectors = Detectors();
  const int number = reading_;
  readRunning_ = true;
  madeReading_.clear();  // what was made before is in the file now
  // The promise goes to the reader, its future to a watcher of the window's: a window closed
  // meanwhile is told nothing.
  auto promise = std::make_shared<QPromise<std::vector<RecordRow>>>();
  auto* watcher = new QFutureWatcher<std::vector<RecordRow>>(this);
  connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, number] {
    watcher->deleteLater();
    readRunning_ = false;
    if (reading_ == 0) return;  // shown otherwise meanwhile
    if (number != reading_) {   // overtaken: the newer read begins now
      BeginRead();
      return;
    }
    if (watcher->future().resultCount() == 0) return;
    std::vector<RecordRow> rows = watcher->future().result();
    // The readings kept while it read that it did not reach.
    for (RecordRow& row : madeReading_) {
      if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(std::move(row));
    }
    reading_ = 0;
    madeReading_.clear();
    recordModel_->SetRows(std::move(rows));
    ui_->recordTable->scrollToBottom();
    ShowChart();
    JudgeLimit();
    if (tellRead_) Say(QStringLiteral("记录 %1 行。").arg(recordModel_->rowCount({})));
    tellRead_ = false;
  });
  watcher->setFuture(promise->future());
  QThreadPool::globalInstance()->start(
      [promise, path = record_->Path(), from = ui_->recordFrom->dateTime(), to = PeriodEnd(),
       addresses = std::set<int>(detectors.begin(), detectors.end())] {
        promise->start();
        promise->addResult(Record::Read(path, from, to, addresses));
        promise->finish();
      });
}

void SurveyWindow::ShowChart() {
  const std::vector<std::uint8_t> chosen = Chosen();
  const std::vector<RecordRow>& shown = recordModel_->Rows();
  // The record's table holds the detectors of the table: with none selected, every row.
  std::vector<RecordRow> selected;
  if (chosen != Detectors()) {
    const std::set<int> charted(chosen.begin(), chosen.end());
    for (const RecordRow& row : shown) {
      if (charted.contains(row.address)) selected.push_back(row);
    }
  }
  const std::vector<RecordRow>& rows = chosen != Detectors() ? selected : shown;
  chart_->SetPeriod(ui_->recordFrom->dateTime(), PeriodEnd());
  for (const Quantity quantity : {Quantity::kResistance, Quantity::kVoltage}) {
    chart_->SetSeries(quantity, trend::SeriesOf(rows, quantity));
  }
}

void SurveyWindow::OnLimitEdited(const QString& text) {
  bool valid = true;
  limit_ = LimitOf(text, &valid);
  chart_->SetLimit(limit_);
  JudgeLimit();
  KeepSettings();
  if (!valid) {
    Say(QStringLiteral("接地电阻上限须为大于 0 的数，未设上限。"));
  } else if (limit_) {
    Say(AboveLimitMessage());
  }
}

void SurveyWindow::JudgeLimit() {
  raised_.clear();
  if (limit_) {
    const AlarmLimit limit{.ohms = *limit_, .after = kDefaultAlarmAfter};
    if (record_ != nullptr) {
      raised_ = RaisedOver(recordModel_->Rows(), limit);
    } else {
      const QDateTime from = ui_->recordFrom->dateTime();
      const QDateTime to = PeriodEnd();
      std::vector<RecordRow> period;
      for (const RecordRow& row : madeHere_) {
        if (row.time >= from && row.time <= to) period.push_back(row);
      }
      raised_ = RaisedOver(period, limit);
    }
  }
  ShowRows();
}

std::vector<std::uint8_t> SurveyWindow::AboveLimit() const {
  std::vector<std::uint8_t> above;
  for (const auto& [address, row] : rows_) {
    if (row.detector && raised_.contains(address)) above.push_back(address);
  }
  return above;
}

QString SurveyWindow::AboveLimitMessage() const {
  if (!limit_) return {};
  return QStringLiteral("%1 个检测器的接地电阻高于上限 %2 %3。")
      .arg(AboveLimit().size())
      .arg(*limit_)
      .arg(trend::UnitOf(Quantity::kResistance));
}

bool SurveyWindow::RowMarked(int row) const {
  const QTableWidgetItem* item = ui_->table->item(row, kResistance);
  return item != nullptr && item->background().color() == kAboveLimitColour;
}

bool SurveyWindow::ExportChart(const QString& path, QSize size) {
  const QSize shown = chart_->size();
  const QSize picture = size.isValid() ? size.expandedTo(shown) : shown;
  if (!chart_->ExportPng(path, picture)) {
    Say(QStringLiteral("导出图表失败：%1").arg(chart_->ExportError()));
    return false;
  }
  Say(QStringLiteral("已导出图表到 %1").arg(path));
  return true;
}

void SurveyWindow::AskExportChart() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("导出图表"),
      QStringLiteral("趋势-%1.png")
          .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))),
      QStringLiteral("PNG (*.png)"));
  if (path.isEmpty()) return;
  if (!ExportChart(path)) {
    QMessageBox::warning(this, QStringLiteral("导出图表"), Message());
  }
}

void SurveyWindow::KeepSettings() const {
  const auto settings = SurveySettings();
  // A text that is no limit is not kept.
  settings->setValue(QString::fromLatin1(kLimitKey),
                     limit_ ? ui_->limitBox->currentText().trimmed() : QString());
  settings->setValue(QString::fromLatin1(kRecordFromKey),
                     ui_->recordFrom->dateTime().toString(Qt::ISODate));
  settings->setValue(QString::fromLatin1(kRecordToKey),
                     ui_->recordTo->dateTime().toString(Qt::ISODate));
}

void SurveyWindow::RestoreSettings() {
  const auto settings = SurveySettings();
  // The last 30 days to the end of today, unless a period was kept.
  const QDate today = QDate::currentDate();
  QDateTime from = QDateTime::fromString(
      settings->value(QString::fromLatin1(kRecordFromKey)).toString(), Qt::ISODate);
  QDateTime to = QDateTime::fromString(
      settings->value(QString::fromLatin1(kRecordToKey)).toString(), Qt::ISODate);
  if (!from.isValid() || !to.isValid()) {
    from = today.addDays(-30).startOfDay();
    to = today.endOfDay();
  }
  SetPeriodEdits(from, to);
  const QString limit = settings->value(QString::fromLatin1(kLimitKey)).toString();
  ui_->limitBox->setCurrentIndex(0);
  ui_->limitBox->setEditText(limit);
  bool valid = true;
  limit_ = LimitOf(limit, &valid);
  chart_->SetLimit(limit_);
}

int SurveyWindow::RecordRowCount() const {
  return recordModel_->rowCount({});
}

bool SurveyWindow::ExportRecord(const QString& path) {
  const std::vector<RecordRow> rows = RecordRows();
  std::string text(kUtf8ByteOrderMark);
  text += kRecordHeader;
  for (const RecordRow& row : rows) text += CsvLine(row);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), static_cast<qint64>(text.size())) < 0 || !file.flush()) {
    Say(QStringLiteral("导出失败：%1").arg(file.errorString()));
    return false;
  }
  Say(QStringLiteral("已导出记录 %1 行到 %2").arg(rows.size()).arg(path));
  return true;
}

void SurveyWindow::AskExportRecord() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("导出记录"),
      QStringLiteral("记录-%1.csv")
          .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))),
      QStringLiteral("CSV (*.csv)"));
  if (!path.isEmpty()) ExportRecord(path);
}

void SurveyWindow::closeEvent(QCloseEvent* event) {
  // The run ends with the exchange in progress; nothing more goes out.
  survey_.Stop();
  QWidget::closeEvent(event);
}

}  // namespace karvello
