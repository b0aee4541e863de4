#pragma once
// The site as it stands: for each detector the last outcome of each quantity it is read for,
// its last good reading and their times, its counts and its alarm; the line; the broker; the
// record. The watch feeds it; every front end of the gateway reads it. It tells of each change
// (Changed), and gives a copy of itself (Snapshot) that another thread may hold and read.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "engine/operations.h"
#include "engine/outcome.h"

namespace karvello::gateway {

// One quantity (a resistance or a voltage) of one detector.
struct QuantityState {
  // The last reading: its time, result and value (with kAnswered). None before the first.
  std::optional<QDateTime> lastTime;
  Result lastResult = Result::kNoReply;
  std::optional<Reading> lastValue;
  // The last answered reading and its time.
  std::optional<QDateTime> goodTime;
  std::optional<Reading> goodValue;
  std::uint64_t answered = 0;  // since the watch started
  std::uint64_t failed = 0;
  std::uint32_t failuresInRow = 0;
  bool operator==(const QuantityState&) const = default;
};

struct DetectorState {
  QuantityState resistance;
  QuantityState voltage;
  bool alarm = false;  // the resistance limit's alarm stands
  bool noAnswer = false;  // its no-answer alarm stands
  // Set aside, not answering since then: read only now and then until it answers again.
  std::optional<QDateTime> asideSince;
  std::uint32_t failuresInRow = 0;  // its readings of either quantity that failed, the last ones
  bool operator==(const DetectorState&) const = default;
};

struct LineState {
  std::string address;   // "/dev/ttyUSB0", "rtu+tcp://10.0.0.7:4001"
  bool open = false;
  QDateTime lostSince;   // while not open after having been: when it went
  bool operator==(const LineState&) const = default;
};

struct BrokerState {
  bool used = false;  // the watch publishes to a broker
  bool connected = false;
  std::uint64_t queued = 0;
  std::uint64_t dropped = 0;
  bool operator==(const BrokerState&) const = default;
};

struct RecordState {
  QString path;  // empty: no record is kept
  bool failing = false;
  std::int64_t rowsNotKept = 0;
  bool operator==(const RecordState&) const = default;
};

struct SiteSnapshot {
  std::string site;
  QDateTime started;
  LineState line;
  BrokerState broker;
  RecordState record;
  std::map<int, DetectorState> detectors;  // by address, those the watch reads
  // The state of `quantity` at `address`; none for an address not read, or a quantity that is
  // neither a resistance nor a voltage.
  const QuantityState* Find(int address, Quantity quantity) const;
  // The resistance limits' alarms that stand; the no-answer alarms that stand.
  int AlarmsRaised() const;
  int NoAnswerRaised() const;
};

class SiteState : public QObject {
  Q_OBJECT

 public:
  explicit SiteState(std::string site, QObject* parent = nullptr);

  // The detectors the watch reads: listed from the start, with nothing read yet.
  void Expect(int address);
  // The outcome of a reading at `address` at `when`; only resistances and voltages count.
  void Take(const Outcome& outcome, int address, const QDateTime& when);
  // The last known reading of a quantity, as the record holds it from before this start: the
  // last outcome and the last good one, without counts.
  void Seed(int address, Quantity quantity, const QuantityState& known);
  void SetAlarm(int address, bool raised);
  void SetNoAnswer(int address, bool raised);
  // The detector at `address` set aside since `since`, or (none) read every round again.
  void SetAside(int address, const std::optional<QDateTime>& since);
  void SetLine(const LineState& line);
  // The line went at `when` (lost since then), or is open again.
  void SetLineOpen(bool open, const QDateTime& when);
  void SetBroker(const BrokerState& broker);
  void SetRecord(const RecordState& record);

  // A copy of the whole, at one moment. Callable from any thread.
  SiteSnapshot Snapshot() const;

 signals:
  // After each change, in the thread that made it.
  void Changed();

 private:
  template <typename Change>
  void Update(Change change);

  mutable std::mutex mutex_;
  SiteSnapshot state_;
};

}  // namespace karvello::gateway
