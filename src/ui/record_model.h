#pragma once
// The record's rows of a period, as the survey window's record table shows them: the view asks
// for the rows on screen only, so a month of a bus is shown at once.

#include <QAbstractTableModel>
#include <vector>

#include "record/record.h"

namespace karvello {

class RecordModel : public QAbstractTableModel {
 public:
  const std::vector<RecordRow>& Rows() const { return rows_; }
  void SetRows(std::vector<RecordRow> rows);
  void Append(RecordRow row);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  static constexpr int kColumns = 7;
  std::vector<RecordRow> rows_;
};

}  // namespace karvello
