#pragma once
// The survey window's table of the addresses of a line: for each address scanned, whether a
// detector answers there as itself, its last voltage and resistance with their times, and the
// state of its last exchange. Detectors above the resistance limit are marked; what is no
// detector is greyed.

#include <QAbstractTableModel>
#include <QBrush>
#include <QColor>
#include <QString>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/survey.h"

namespace karvello {

class DetectorTable : public QAbstractTableModel {
 public:
  enum Column { kAddress, kVoltage, kVoltageTime, kResistance, kResistanceTime, kState };
  static constexpr int kColumnCount = 6;
  // The background of a detector above the limit.
  static const QColor kAboveLimitColour;

  // `greyed`: the text of what is no detector.
  explicit DetectorTable(QBrush greyed) : greyed_(std::move(greyed)) {}

  // The addresses from `from` to `to` forgotten, as a scan of them begins.
  void Forget(int from, int to);
  // What a run found at an address; `scanning`: the address is found afresh.
  void Take(const SurveyRow& found, bool scanning);
  // The detectors measured at once, and the seconds left of their measurement.
  void Measuring(const std::vector<std::uint8_t>& addresses, std::chrono::seconds left);
  // The run ended: a measurement cut short has no reading.
  void Ended(SurveyEnd end);
  // The detectors to mark as above the limit.
  void SetMarked(std::set<int> addresses);

  // The addresses of the rows that are detectors, in order; of rows `rows` alone unless empty.
  std::vector<std::uint8_t> Detectors(const std::set<int>& rows = {}) const;
  std::vector<std::uint8_t> Marked() const;
  QString Cell(int row, int column) const;
  // The table as CSV lines ended by CR LF, the column names first.
  std::string Csv() const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  struct Row {
    bool detector = false;
    QString voltage, voltageTime, resistance, resistanceTime, state;
  };
  // The row of `address`, inserted when new.
  Row& RowAt(std::uint8_t address);
  int IndexOf(std::uint8_t address) const;
  void ChangedAll();

  std::map<std::uint8_t, Row> rows_;
  std::set<int> marked_;
  QBrush greyed_;
};

}  // namespace karvello
