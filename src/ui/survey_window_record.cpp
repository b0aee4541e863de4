// The survey window's record: the rows of the period read in the background and shown, the
// chart of the selected detectors, the resistance limit judged over them, the exports of the rows
// and the chart, and the limit and period kept in the window's settings.
#include "ui/survey_window.h"

#include <QDateTimeEdit>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTableView>
#include <algorithm>
#include <cmath>
#include <set>

#include "engine/alarm_rule.h"
#include "present/limit_text.h"
#include "record/csv.h"
#include "ui/detector_table.h"
#include "ui/record_model.h"
#include "ui/trend_chart.h"
#include "ui_survey_window.h"

namespace karvello {

namespace {

// The settings' keys.
constexpr auto kLimitKey = "limit";
constexpr auto kAlarmAfterKey = "alarmAfter";
constexpr auto kRecordFromKey = "recordFrom";
constexpr auto kRecordToKey = "recordTo";

// The limit a text gives, as the command line takes it ("4", "0.5", at most 2 decimals); none
// for an empty text.
std::optional<double> LimitOf(const QString& text, bool* valid) {
  const std::string trimmed = text.trimmed().toStdString();
  if (trimmed.empty()) {
    *valid = true;
    return std::nullopt;
  }
  const std::optional<double> ohms = ParseLimitOhms(trimmed);
  *valid = ohms.has_value();
  return ohms;
}

}  // namespace

std::unique_ptr<QSettings> SurveySettings() {
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                     QStringLiteral("karvello"), QStringLiteral("survey"));
}

void SurveyWindow::SetRecord(Record* record) {
  line_.SetRecord(record, [this](const Record::Notice& notice) { OnRecordNotice(notice); });
  ReadRecord(false);
}

void SurveyWindow::Keep(const Outcome& outcome) {
  const RecordRow row = line_.Keep(outcome);
  const bool resistance = Describe(outcome.operation).quantity == Quantity::kResistance;
  if (line_.record() == nullptr) {
    // Without a record the limit is judged over the readings of this window.
    if (judgement_.Keep(row)) JudgeLimit();
    return;
  }
  // The record's view and its chart follow the readings of the period's detectors as they come.
  const std::vector<std::uint8_t> detectors = Detectors();
  if (std::find(detectors.begin(), detectors.end(), outcome.address) == detectors.end() ||
      row.time < ui_->recordFrom->dateTime() || row.time > PeriodEnd()) {
    return;
  }
  recordModel_->Append(row);
  reader_->Keep(row);
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
  if (line_.record() == nullptr || detectors.empty()) return {};
  return Record::Read(line_.record()->Path(), ui_->recordFrom->dateTime(), PeriodEnd(),
                      std::set<int>(detectors.begin(), detectors.end()));
}

void SurveyWindow::ShowRecord() {
  reader_->CallOff();  // a read still in the background is shown no more
  tellRead_ = false;
  recordModel_->SetRows(RecordRows());
  ui_->recordTable->scrollToBottom();
  ShowChart();
  JudgeLimit();
}

void SurveyWindow::ShowRecordInBackground() {
  ReadRecord(true);
}

void SurveyWindow::ReadRecord(bool tell) {
  if (line_.record() == nullptr || Detectors().empty()) {
    ShowRecord();
    return;
  }
  if (tell) {
    tellRead_ = true;
    Say(QStringLiteral("正在读取记录 ..."));
  }
  // One read at a time: a read asked for while another runs begins when that one ends, which is
  // then not shown.
  reader_->Ask();
}

std::optional<RecordReader::Request> SurveyWindow::RecordRequest() const {
  const std::vector<std::uint8_t> detectors = Detectors();
  // None when gone while the read before ran (a scan began): none to read for.
  if (line_.record() == nullptr || detectors.empty()) return std::nullopt;
  return RecordReader::Request{.path = line_.record()->Path(),
                               .from = ui_->recordFrom->dateTime(),
                               .to = PeriodEnd(),
                               .addresses = std::set<int>(detectors.begin(), detectors.end())};
}

void SurveyWindow::OnRecordRead(std::vector<RecordRow> rows) {
  recordModel_->SetRows(std::move(rows));
  ui_->recordTable->scrollToBottom();
  ShowChart();
  JudgeLimit();
  if (tellRead_) Say(QStringLiteral("记录 %1 行。").arg(recordModel_->rowCount({})));
  tellRead_ = false;
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
    Say(QStringLiteral("接地电阻上限须为至多两位小数的欧姆数，未设上限。"));
  } else if (limit_) {
    Say(AboveLimitMessage());
  }
}

void SurveyWindow::JudgeLimit() {
  judgement_.SetLimit(limit_ ? std::optional<AlarmLimit>(AlarmLimit{
                                   .ohms = *limit_, .after = ui_->alarmAfterBox->value()})
                             : std::nullopt);
  table_->SetMarked(line_.record() != nullptr
                        ? judgement_.Over(recordModel_->Rows())
                        : judgement_.OverKept(ui_->recordFrom->dateTime(), PeriodEnd()));
}

std::vector<std::uint8_t> SurveyWindow::AboveLimit() const {
  return table_->Marked();
}

QString SurveyWindow::AboveLimitMessage() const {
  if (!limit_) return {};
  return QStringLiteral("%1 个检测器的接地电阻高于上限 %2 %3。")
      .arg(AboveLimit().size())
      .arg(*limit_)
      .arg(trend::UnitOf(Quantity::kResistance));
}

bool SurveyWindow::RowMarked(int row) const {
  const QVariant ground = table_->index(row, kResistance).data(Qt::BackgroundRole);
  return ground.canConvert<QBrush>() &&
         ground.value<QBrush>().color() == DetectorTable::kAboveLimitColour;
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
  const QString path = AskPath(QStringLiteral("导出图表"), QStringLiteral("趋势-%1.png"),
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
  settings->setValue(QString::fromLatin1(kAlarmAfterKey), ui_->alarmAfterBox->value());
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
  // A count out of the box's range is taken as its nearest end.
  bool count = false;
  const int after = settings->value(QString::fromLatin1(kAlarmAfterKey)).toInt(&count);
  ui_->alarmAfterBox->setValue(count ? after : kDefaultAlarmAfter);
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
  std::string lines(kRecordHeader);
  for (const RecordRow& row : rows) lines += ExportLine(row);
  return WriteExport(path, lines,
                     QStringLiteral("已导出记录 %1 行到 %2").arg(rows.size()).arg(path));
}

void SurveyWindow::AskExportRecord() {
  const QString path = AskPath(QStringLiteral("导出记录"), QStringLiteral("记录-%1.csv"),
                               QStringLiteral("CSV (*.csv)"));
  if (!path.isEmpty() && !ExportRecord(path)) {
    QMessageBox::warning(this, QStringLiteral("导出记录"), Message());
  }
}

}  // namespace karvello
