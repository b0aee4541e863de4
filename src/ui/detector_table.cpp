#include "ui/detector_table.h"

#include <QDateTime>
#include <iterator>

#include "present/result_words.h"
#include "present/times.h"
#include "record/csv.h"
#include "ui/log_texts.h"
#include "ui/reports.h"
#include "ui/trend_chart.h"

namespace karvello {

namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString Now() {
  return DisplayTime(QDateTime::currentDateTime());
}

// The state of an address that gave something other than a detector answering as itself.
QString NotADetector(const Outcome& read) {
  if (read.result == Result::kAnswered) {
    return QStringLiteral("地址不符 (%1)").arg(read.value ? read.value->number : 0);
  }
  return Utf8(ChineseWords(read.result));
}

bool IsResistance(Operation operation) {
  // The start of a measurement belongs to the resistance too: its failure is the row's.
  return operation == Operation::kStartMeasurement ||
         Describe(operation).quantity == Quantity::kResistance;
}

}  // namespace

const QColor DetectorTable::kAboveLimitColour(255, 214, 214);

void DetectorTable::Forget(int from, int to) {
  const auto first = rows_.lower_bound(static_cast<std::uint8_t>(from));
  const auto last = rows_.upper_bound(static_cast<std::uint8_t>(to));
  if (first == last) return;
  const int begin = static_cast<int>(std::distance(rows_.begin(), first));
  beginRemoveRows({}, begin, begin + static_cast<int>(std::distance(first, last)) - 1);
  rows_.erase(first, last);
  endRemoveRows();
}

DetectorTable::Row& DetectorTable::RowAt(std::uint8_t address) {
  const auto found = rows_.lower_bound(address);
  if (found != rows_.end() && found->first == address) return found->second;
  const int at = static_cast<int>(std::distance(rows_.begin(), found));
  beginInsertRows({}, at, at);
  Row& row = rows_.emplace_hint(found, address, Row{})->second;
  endInsertRows();
  return row;
}

int DetectorTable::IndexOf(std::uint8_t address) const {
  return static_cast<int>(std::distance(rows_.begin(), rows_.find(address)));
}

void DetectorTable::Take(const SurveyRow& found, bool scanning) {
  Row& row = RowAt(found.address);
  if (scanning) {
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
  const int at = IndexOf(found.address);
  emit dataChanged(index(at, 0), index(at, kColumnCount - 1));
}

void DetectorTable::Measuring(const std::vector<std::uint8_t>& addresses,
                              std::chrono::seconds left) {
  for (std::uint8_t address : addresses) {
    RowAt(address).state = Utf8(text::kMeasuring) + QStringLiteral(" %1 秒").arg(left.count());
  }
  ChangedAll();
}

void DetectorTable::Ended(SurveyEnd end) {
  const QString measuring = Utf8(text::kMeasuring);
  for (auto& [address, row] : rows_) {
    if (row.state.startsWith(measuring)) {
      row.state = end == SurveyEnd::kLineLost ? Utf8(text::kQueryFailed) : QStringLiteral("已停止");
    }
  }
  ChangedAll();
}

void DetectorTable::SetMarked(std::set<int> addresses) {
  marked_ = std::move(addresses);
  ChangedAll();
}

void DetectorTable::ChangedAll() {
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
}

std::vector<std::uint8_t> DetectorTable::Detectors(const std::set<int>& rows) const {
  std::vector<std::uint8_t> addresses;
  int index = 0;
  for (const auto& [address, row] : rows_) {
    if (row.detector && (rows.empty() || rows.contains(index))) addresses.push_back(address);
    ++index;
  }
  return addresses;
}

std::vector<std::uint8_t> DetectorTable::Marked() const {
  std::vector<std::uint8_t> above;
  for (const auto& [address, row] : rows_) {
    if (row.detector && marked_.contains(address)) above.push_back(address);
  }
  return above;
}

QString DetectorTable::Cell(int row, int column) const {
  return data(index(row, column), Qt::DisplayRole).toString();
}

std::string DetectorTable::Csv() const {
  std::vector<std::string> fields;
  for (int column = 0; column < kColumnCount; ++column) {
    fields.push_back(headerData(column, Qt::Horizontal, Qt::DisplayRole).toString().toStdString());
  }
  std::string csv = CsvLine(fields, "\r\n");
  for (int row = 0; row < rowCount(); ++row) {
    fields.clear();
    for (int column = 0; column < kColumnCount; ++column) {
      fields.push_back(Cell(row, column).toStdString());
    }
    csv += CsvLine(fields, "\r\n");
  }
  return csv;
}

int DetectorTable::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DetectorTable::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant DetectorTable::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount) return {};
  const auto entry = std::next(rows_.begin(), index.row());
  const Row& row = entry->second;
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kAddress:
          return QString::number(entry->first);
        case kVoltage:
          return row.voltage;
        case kVoltageTime:
          return row.voltageTime;
        case kResistance:
          return row.resistance;
        case kResistanceTime:
          return row.resistanceTime;
        default:
          return row.state;
      }
    case Qt::ForegroundRole:
      // What is no detector is shown greyed; a detector above the limit on a red ground.
      return row.detector ? QVariant() : QVariant(greyed_);
    case Qt::BackgroundRole:
      return row.detector && marked_.contains(entry->first) ? QVariant(QBrush(kAboveLimitColour))
                                                            : QVariant();
    default:
      return {};
  }
}

QVariant DetectorTable::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  switch (section) {
    case kAddress:
      return QStringLiteral("地址");
    case kVoltage:
      return QStringLiteral("电压(%1)").arg(trend::UnitOf(Quantity::kVoltage));
    case kVoltageTime:
      return QStringLiteral("电压时间");
    case kResistance:
      return QStringLiteral("电阻(%1)").arg(trend::UnitOf(Quantity::kResistance));
    case kResistanceTime:
      return QStringLiteral("电阻时间");
    default:
      return QStringLiteral("状态");
  }
}

}  // namespace karvello
