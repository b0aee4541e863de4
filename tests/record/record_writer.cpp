// Appends rows to a record, as one more Karvello program would: record_writer PATH COUNT TAG.
// Row i is a voltage reading of 220 V (even i) or a resistance of 34.5 Ω (odd i) at address
// i % 255 + 1, on port TAG, its reply the two bytes of i (high first) so that a reader can tell
// each row's writer and place. Exits 1 if an append failed.
#include <QCoreApplication>
#include <QDateTime>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/operations.h"
#include "record/record.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: record_writer PATH COUNT TAG\n");
    return 2;
  }
  karvello::Record record(QString::fromLocal8Bit(argv[1]));
  const int count = std::stoi(argv[2]);
  const std::string tag = argv[3];
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    const bool voltage = i % 2 == 0;
    const auto operation =
        voltage ? karvello::Operation::kQueryVoltage : karvello::Operation::kQueryResistance;
    const auto address = static_cast<std::uint8_t>(i % 255 + 1);
    karvello::Outcome outcome;
    outcome.operation = operation;
    outcome.address = address;
    const auto frame = karvello::FrameOf(operation, 0, address);
    outcome.sent.emplace_back(frame.begin(), frame.end());
    outcome.result = karvello::Result::kAnswered;
    outcome.value = voltage ? karvello::Reading{.number = 220}
                            : karvello::Reading{.number = 345, .decimals = 1};
    karvello::RecordRow row = karvello::RowOf(outcome, tag, QDateTime::currentDateTime());
    // Its number among this writer's rows, in the reply's two bytes.
    row.reply = {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i & 0xFF)};
    ok = record.Append(row) && ok;
  }
  return ok ? 0 : 1;
}
