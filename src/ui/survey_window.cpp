#include "ui/survey_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDate>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <set>

#include "record/csv.h"
#include "ui/application.h"
#include "ui/log_texts.h"
#include "ui/record_warning.h"
#include "ui/reports.h"
#include "ui/song_font.h"
#include "ui_survey_window.h"

namespace karvello {

namespace {

constexpr double kBodyPoints = 12.0;
constexpr double kCaptionPoints = 12.0;

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

}  // namespace

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
  setWindowIcon(ApplicationIcon());
  ApplyFonts();
  ui_->table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  ui_->table->horizontalHeader()->setStretchLastSection(true);
  ui_->progress->setValue(0);

  connect(ui_->portList, &QComboBox::activated, this,
          [this](int index) { portList_.Select(index); });
  connect(ui_->portList, &PortListBox::aboutToShowPopup, this, &SurveyWindow::RefreshPorts);
  connect(ui_->scanButton, &QPushButton::clicked, this, [this] { StartScan(); });
  connect(ui_->stopButton, &QPushButton::clicked, this, [this] { StopRun(); });
  connect(ui_->measureButton, &QPushButton::clicked, this, [this] { StartMeasure(); });
  connect(ui_->voltageButton, &QPushButton::clicked, this, [this] { StartReadVoltages(); });
  connect(ui_->exportButton, &QPushButton::clicked, this, [this] { AskExport(); });
  connect(ui_->showRecordButton, &QPushButton::clicked, this, [this] { ShowRecord(); });
  connect(ui_->exportRecordButton, &QPushButton::clicked, this, [this] { AskExportRecord(); });
  // The last 30 days to the end of today.
  const QDate today = QDate::currentDate();
  SetRecordPeriod(today.addDays(-30).startOfDay(), today.endOfDay());
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
           ui_->recordFrom, ui_->recordTo, ui_->recordTable}) {
    widget->setFont(body);
  }
  for (QWidget* widget : std::initializer_list<QWidget*>{
           ui_->portLabel, ui_->fromLabel, ui_->toLabel, ui_->waitLabel, ui_->scanButton,
           ui_->stopButton, ui_->measureButton, ui_->allAtOnceBox, ui_->voltageButton,
           ui_->exportButton, ui_->recordFromLabel, ui_->recordToLabel, ui_->showRecordButton,
           ui_->exportRecordButton}) {
    widget->setFont(caption);
  }
  ui_->table->horizontalHeader()->setFont(caption);
  ui_->recordTable->horizontalHeader()->setFont(caption);
}

QString SurveyWindow::Captions() const {
  QString text = windowTitle();
  for (const QLabel* label : {ui_->portLabel, ui_->fromLabel, ui_->toLabel, ui_->waitLabel,
                              ui_->recordFromLabel, ui_->recordToLabel}) {
    text += label->text();
  }
  for (const QAbstractButton* button : std::initializer_list<const QAbstractButton*>{
           ui_->scanButton, ui_->stopButton, ui_->measureButton, ui_->allAtOnceBox,
           ui_->voltageButton, ui_->exportButton, ui_->showRecordButton, ui_->exportRecordButton}) {
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
}

void SurveyWindow::OnPortChosen() {
  ShowPortList(portList_, *ui_->portList);
  const int number = portList_.SelectedNumber();
  if (number < kFirstPortNumber || number > kHighestPortNumber) {
    line_.Close();
    return;
  }
  if (line_.Open(number)) openedPort_ = number;
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
  ShowRecord();
  switch (end) {
    case SurveyEnd::kDone:
      if (runKind_ == RunKind::kScan) {
        Say(QStringLiteral("扫描完成：找到 %1 个检测器。").arg(Detectors().size()));
      } else {
        Say(runKind_ == RunKind::kMeasure ? QStringLiteral("测量完成。")
                                          : QStringLiteral("电压查询完成。"));
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
    const QString cells[] = {QString::number(address), row.voltage,        row.voltageTime,
                             row.resistance,           row.resistanceTime, row.state};
    for (int column = 0; column < 6; ++column) {
      QTableWidgetItem* item = table.item(index, column);
      if (item == nullptr) {
        item = new QTableWidgetItem;
        table.setItem(index, column, item);
      }
      if (item->text() != cells[column]) item->setText(cells[column]);
      // What is no detector is shown greyed.
      item->setForeground(row.detector ? palette().text() : palette().placeholderText());
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
  ShowRecord();
}

void SurveyWindow::Keep(const Outcome& outcome) {
  if (record_ == nullptr) return;
  const int port = line_.Port() != 0 ? line_.Port() : openedPort_;
  record_->Append(outcome, port != 0 ? "COM" + std::to_string(port) : std::string(),
                  QDateTime::currentDateTime());
}

void SurveyWindow::SetRecordPeriod(const QDateTime& from, const QDateTime& to) {
  ui_->recordFrom->setDateTime(from);
  ui_->recordTo->setDateTime(to);
}

std::vector<RecordRow> SurveyWindow::RecordRows() const {
  const std::vector<std::uint8_t> detectors = Detectors();
  if (record_ == nullptr || detectors.empty()) return {};
  // The edits show whole minutes: the period runs to the end of the minute shown.
  return Record::Read(record_->Path(), ui_->recordFrom->dateTime(),
                      ui_->recordTo->dateTime().addSecs(59).addMSecs(999),
                      std::set<int>(detectors.begin(), detectors.end()));
}

void SurveyWindow::ShowRecord() {
  const std::vector<RecordRow> rows = RecordRows();
  QTableWidget& table = *ui_->recordTable;
  table.setRowCount(static_cast<int>(rows.size()));
  for (int i = 0; i < table.rowCount(); ++i) {
    const RecordRow& row = rows[static_cast<std::size_t>(i)];
    const QString cells[] = {row.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                             QString::fromStdString(row.port),
                             QString::number(row.address),
                             QString::fromStdString(row.operation),
                             QString::fromStdString(row.result),
                             QString::fromStdString(row.value),
                             QString::fromStdString(row.unit)};
    for (int column = 0; column < 7; ++column) {
      table.setItem(i, column, new QTableWidgetItem(cells[column]));
    }
  }
  table.scrollToBottom();
}

int SurveyWindow::RecordRowCount() const {
  return ui_->recordTable->rowCount();
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
