#pragma once
// The rows that the record's tests write and read: outcomes made as the engine makes them, and
// voltage rows a minute apart with their lines.

#include <QDateTime>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/operations.h"
#include "engine/outcome.h"
#include "record/csv.h"
#include "record/record_format.h"
#include "support/hex_bytes.h"

namespace karvello::record_rows {

inline const QDateTime kWhen(QDate(2026, 12, 7), QTime(18, 4, 6, 123), Qt::OffsetFromUTC, 8 * 3600);

// The outcome of `operation` at `address`, all its requests sent unless it was not sent.
inline Outcome Made(Operation operation, std::uint8_t address, Result result,
                    const char* reply = "", std::optional<Reading> value = std::nullopt) {
  Outcome outcome{.operation = operation,
                  .address = address,
                  .sent = {},
                  .reply = testing::Hex(reply),
                  .result = result,
                  .value = value};
  for (std::size_t i = 0; result != Result::kNotSent && i < Describe(operation).count; ++i) {
    const auto frame = FrameOf(operation, i, address);
    outcome.sent.emplace_back(frame.begin(), frame.end());
  }
  return outcome;
}

// The voltage row of detector `address` at kWhen plus `minutes`: 107 bytes for address 5.
inline RecordRow Row(int address = 5, int minutes = 0) {
  RecordRow row = RowOf(
      Made(Operation::kQueryVoltage, 5, Result::kAnswered, "05 03 02 00 DC 48 1D", Reading{220}),
      "COM1", kWhen.addSecs(60 * minutes));
  row.address = address;
  return row;
}

// Rows (and their lines) at minutes `from` to `to` - 1.
inline std::vector<RecordRow> Rows(int from, int to) {
  std::vector<RecordRow> rows;
  for (int minute = from; minute < to; ++minute) rows.push_back(Row(5, minute));
  return rows;
}
inline std::string Lines(int from, int to) {
  std::string lines;
  for (const RecordRow& row : Rows(from, to)) lines += CsvLine(row);
  return lines;
}
inline const std::string kFileStart = std::string(kUtf8ByteOrderMark) + std::string(kRecordHeader);

}  // namespace karvello::record_rows
