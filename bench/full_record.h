#pragma once
// A full record for the benchmarks: record.3.csv .. record.1.csv and record.csv, each filled to
// the size limit (8 MiB) with the rows a bus of 16 detectors gives, one every 10 s from kStart
// (voltages and resistances in turn, one in 50 unanswered): about 270,000 rows, 32 MiB.

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/operations.h"
#include "record/csv.h"
#include "record/record.h"

namespace karvello::bench {

inline constexpr int kDetectors = 16;
inline const QDateTime kStart(QDate(2026, 1, 1), QTime(0, 0), Qt::OffsetFromUTC, 8 * 3600);

// Row i of the bus: detector i % 16 + 1, a voltage or a resistance in turn, one in 50 unanswered.
inline RecordRow BusRow(std::int64_t i) {
  const bool voltage = i % 2 == 0;
  const Operation operation = voltage ? Operation::kQueryVoltage : Operation::kQueryResistance;
  const auto address = static_cast<std::uint8_t>(i % kDetectors + 1);
  Outcome outcome;
  outcome.operation = operation;
  outcome.address = address;
  for (std::size_t n = 0; n < Describe(operation).count; ++n) {
    const auto frame = FrameOf(operation, n, address);
    outcome.sent.emplace_back(frame.begin(), frame.end());
  }
  if (i % 50 == 49) {
    outcome.result = Result::kNoReply;
  } else {
    outcome.result = Result::kAnswered;
    outcome.value = voltage ? Reading{.number = 220} : Reading{.number = 345, .decimals = 1};
    outcome.reply = voltage ? std::vector<std::uint8_t>{address, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D}
                            : std::vector<std::uint8_t>{address, 0x03, 0x04, 0x01, 0x59,
                                                        0x00,    0x01, 0xAF, 0xDC};
  }
  return RowOf(outcome, "COM3", kStart.addSecs(10 * i));
}

// Fills the four files, oldest first, each to the limit; returns the rows written.
inline std::int64_t MakeFullRecord(const QString& path) {
  std::int64_t i = 0;
  for (int n = Record::kKeptOldFiles; n >= 0; --n) {
    std::string text(kUtf8ByteOrderMark);
    text += kRecordHeader;
    for (;;) {
      const std::string line = CsvLine(BusRow(i));
      if (static_cast<std::int64_t>(text.size() + line.size()) > Record::kDefaultSizeLimit) break;
      text += line;
      ++i;
    }
    QFile file(n == 0 ? path : Record::OldFilePath(path, n));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size())) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
      std::exit(1);
    }
  }
  return i;
}

}  // namespace karvello::bench
