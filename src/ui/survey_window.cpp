#include "ui/survey_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <algorithm>
#include <set>

#include "record/csv.h"
#include "ui/application.h"
#include "ui/detector_table.h"
#include "ui/log_texts.h"
#include "ui/record_model.h"
#include "ui/record_warning.h"
#include "ui/reports.h"
#include "ui/song_font.h"
#include "ui/trend_chart.h"
#include "ui_survey_window.h"

namespace karvello {

namespace {

constexpr double kBodyPoints = 12.0;
constexpr double kCaptionPoints = 12.0;

// The time in the name a save dialog offers.
QString Stamp() {
  return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

}  // namespace

SurveyWindow::SurveyWindow(SerialLine& line, PortMap& ports, QWidget* parent)
    : SurveyWindow(line, ports, nullptr, parent) {}

SurveyWindow::SurveyWindow(SerialLine& line, PortMap& ports, PortProbe& probe, QWidget* parent)
    : SurveyWindow(line, ports, &probe, parent) {}

SurveyWindow::SurveyWindow(SerialLine& line, PortMap& ports, PortProbe* probe, QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::SurveyWindow>()),
      serialLine_(line),
      line_(line, ports, probe),
      engine_(line),
      survey_(engine_) {
  ui_->setupUi(this);
  line_.SetBox(*ui_->portList);
  table_ = std::make_unique<DetectorTable>(palette().placeholderText());
  ui_->table->setModel(table_.get());
  chart_ = ui_->trendChart;
  recordModel_ = std::make_unique<RecordModel>();
  reader_ = std::make_unique<RecordReader>([this] { return RecordRequest(); });
  reader_->SetOnRead([this](std::vector<RecordRow> rows) { OnRecordRead(std::move(rows)); });
  reader_->SetOnNothing([this] { ShowRecord(); });
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
          [this](int index) { line_.List().Select(index); });
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
  connect(ui_->alarmAfterBox, &QSpinBox::valueChanged, this, [this] {
    JudgeLimit();
    KeepSettings();
    if (limit_) Say(AboveLimitMessage());
  });
  connect(ui_->recordFrom, &QDateTimeEdit::dateTimeChanged, this, [this] { OnPeriodChanged(); });
  connect(ui_->recordTo, &QDateTimeEdit::dateTimeChanged, this, [this] { OnPeriodChanged(); });
  ui_->recordTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  ui_->recordTable->horizontalHeader()->setStretchLastSection(true);
  line_.List().SetOnSelected([this] { OnPortChosen(); });

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
           ui_->recordFrom, ui_->recordTo, ui_->recordTable, ui_->limitBox, ui_->alarmAfterBox,
           ui_->trendChart}) {
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
  return text + ui_->alarmAfterBox->prefix() + ui_->alarmAfterBox->suffix();
}

void SurveyWindow::ListPorts() {
  line_.ListPorts();
}

void SurveyWindow::RefreshPorts() {
  line_.RefreshPorts();
  // A line opened by its address stays named in the box.
  if (line_.List().SelectedIndex() < 0 && serialLine_.IsOpen()) {
    ui_->portList->setEditText(QString::fromStdString(serialLine_.Name()));
  }
}

void SurveyWindow::OnPortChosen() {
  line_.OpenSelected();
}

bool SurveyWindow::OpenAddress(const QString& typed) {
  const QString text = typed.trimmed();
  // An entry of the list is opened as if chosen from it.
  const auto& entries = line_.List().Entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (QString::fromStdString(entries[i].text).compare(text, Qt::CaseInsensitive) == 0) {
      line_.List().Select(static_cast<int>(i));
      return serialLine_.IsOpen();
    }
  }
  std::string why;
  const std::optional<LineAddress> address = ParseLineAddress(text.toStdString(), &why);
  if (!address) {
    Say(QStringLiteral("线路地址无效，未打开：%1").arg(QString::fromStdString(why)));
    return false;
  }
  if (!serialLine_.Open(*address)) {
    const std::string error = serialLine_.OpenError();
    Say(QStringLiteral("无法打开 %1%2")
            .arg(text,
                 error.empty() ? QString() : QStringLiteral("：") + QString::fromStdString(error)));
    return false;
  }
  line_.Opened(address->text);
  line_.List().ClearSelection();
  ShowPortList(line_.List(), *ui_->portList);
  ui_->portList->setEditText(text);
  Say(QStringLiteral("已打开 %1。").arg(text));
  return true;
}

bool SurveyWindow::CanStart() {
  if (survey_.Running()) return false;
  if (!serialLine_.IsOpen()) {
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
  table_->Forget(settings.from, settings.to);
  runKind_ = RunKind::kScan;
  if (!survey_.Scan(settings)) return false;
  Began(RunKind::kScan,
        QStringLiteral("扫描中：地址 %1 至 %2 ...").arg(settings.from).arg(settings.to));
  return true;
}

std::vector<std::uint8_t> SurveyWindow::ChosenToRun() {
  if (!CanStart()) return {};
  const std::vector<std::uint8_t> chosen = Chosen();
  if (chosen.empty()) Say(QStringLiteral("表中没有检测器，请先扫描。"));
  return chosen;
}

bool SurveyWindow::StartMeasure() {
  const std::vector<std::uint8_t> chosen = ChosenToRun();
  if (chosen.empty()) return false;
  const bool allAtOnce = ui_->allAtOnceBox->isChecked();
  runKind_ = RunKind::kMeasure;
  if (!survey_.Measure(chosen, allAtOnce)) return false;
  Began(RunKind::kMeasure, allAtOnce
                               ? QStringLiteral("同时测量 %1 个检测器 ...").arg(chosen.size())
                               : QStringLiteral("逐个测量 %1 个检测器 ...").arg(chosen.size()));
  return true;
}

bool SurveyWindow::StartReadVoltages() {
  const std::vector<std::uint8_t> chosen = ChosenToRun();
  if (chosen.empty()) return false;
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
  if (!noteStands_) recordNote_.clear();  // the mending told is the last run's
  Say(message);
}

void SurveyWindow::OnRow(const SurveyRow& found) {
  table_->Take(found, runKind_ == RunKind::kScan);
}

void SurveyWindow::OnMeasuring(const std::vector<std::uint8_t>& addresses,
                               std::chrono::seconds left) {
  table_->Measuring(addresses, left);
}

void SurveyWindow::OnFinished(SurveyEnd end) {
  SetRunning(false);
  table_->Ended(end);
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
  return table_->Detectors();
}

std::vector<std::uint8_t> SurveyWindow::Chosen() const {
  std::set<int> selected;
  for (const QModelIndex& index : ui_->table->selectionModel()->selectedRows()) {
    selected.insert(index.row());
  }
  return table_->Detectors(selected);
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
  said_ = message;
  ShowMessage();
}

void SurveyWindow::OnRecordNotice(const Record::Notice& notice) {
  recordNote_ = NoticeText(notice).remove(QLatin1Char('\n'));
  noteStands_ = notice.IsFault();
  ShowMessage();
}

void SurveyWindow::ShowMessage() {
  const QString gap = said_.isEmpty() || recordNote_.isEmpty() ? QString() : QStringLiteral(" ");
  ui_->messageLine->setText(said_ + gap + recordNote_);
}

QString SurveyWindow::Message() const {
  return ui_->messageLine->text();
}

int SurveyWindow::RowCount() const {
  return table_->rowCount();
}

QString SurveyWindow::Cell(int row, Column column) const {
  return table_->Cell(row, column);
}

QByteArray SurveyWindow::TableCsv() const {
  return QByteArray::fromStdString(std::string(kUtf8ByteOrderMark) + table_->Csv());
}

bool SurveyWindow::ExportCsv(const QString& path) {
  return WriteExport(path, table_->Csv(),
                     QStringLiteral("已导出 %1 行到 %2").arg(RowCount()).arg(path));
}

bool SurveyWindow::WriteExport(const QString& path, const std::string& lines, const QString& done) {
  // Written beside the file and put in its place once whole: a failed export leaves the file
  // that was there as it was. Unbuffered, so that a write cut short (a full disk, a limit on a
  // file's size) is seen as one: a buffer's flush at the commit lets it pass.
  const std::string text = std::string(kUtf8ByteOrderMark) + lines;
  QSaveFile file(path);
  const auto size = static_cast<qint64>(text.size());
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
      file.write(text.data(), size) != size || !file.commit()) {
    Say(QStringLiteral("导出失败：%1").arg(file.errorString()));
    return false;
  }
  Say(done);
  return true;
}

QString SurveyWindow::AskPath(const QString& title, const QString& name, const QString& filter) {
  return QFileDialog::getSaveFileName(this, title, name.arg(Stamp()), filter);
}

void SurveyWindow::AskExport() {
  const QString path =
      AskPath(QStringLiteral("导出"), QStringLiteral("巡检-%1.csv"), QStringLiteral("CSV (*.csv)"));
  if (!path.isEmpty() && !ExportCsv(path)) {
    QMessageBox::warning(this, QStringLiteral("导出"), Message());
  }
}

void SurveyWindow::closeEvent(QCloseEvent* event) {
  // The run ends with the exchange in progress; nothing more goes out.
  survey_.Stop();
  QWidget::closeEvent(event);
}

}  // namespace karvello
