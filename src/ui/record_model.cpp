#include "ui/record_model.h"

#include "present/times.h"

namespace karvello {
namespace {

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void RecordModel::SetRows(std::vector<RecordRow> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

void RecordModel::Append(RecordRow row) {
  const int at = static_cast<int>(rows_.size());
  beginInsertRows({}, at, at);
  rows_.push_back(std::move(row));
  endInsertRows();
}

int RecordModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int RecordModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant RecordModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  const RecordRow& row = rows_[static_cast<std::size_t>(index.row())];
  switch (index.column()) {
    case 0:
      return DisplayTime(row.time);
    case 1:
      return QString::fromStdString(row.port);
    case 2:
      return row.address;
    case 3:
      return Text(OperationText(row));
    case 4:
      return Text(ResultText(row));
    case 5:
      return QString::fromStdString(ValueText(row));
    default:
      return Text(UnitText(row));
  }
}

QVariant RecordModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumns) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  static const char* const kNames[kColumns] = {"时间", "串口", "地址", "操作",
                                               "结果", "值",   "单位"};
  return QString::fromUtf8(kNames[section]);
}

}  // namespace karvello
