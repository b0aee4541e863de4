#include "gateway/record_replay.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "engine/operations.h"
#include "record/record_read.h"

namespace karvello::gateway {
namespace {

constexpr int kLargestAddress = 255;
// Rows of one millisecond held while the place is looked for among them; a watch makes a few.
constexpr std::size_t kLargestTie = 1024;

}  // namespace

bool Published(const RecordRow& row, std::string_view port) {
  if (row.port != port || row.address < 1 || row.address > kLargestAddress) return false;
  if (row.kind == RecordRow::Kind::kAlarm) return true;
  if (row.kind != RecordRow::Kind::kOutcome) return false;  // a detector set aside: no message
  const Quantity quantity = Describe(row.operation).quantity;
  return !row.again && (quantity == Quantity::kVoltage || quantity == Quantity::kResistance);
}

AlarmChange AlarmChangeOf(const RecordRow& row, double limit, bool othersStanding) {
  AlarmChange change{OutcomeOf(row), row.address, row.raised, 0, row.time};
  change.kind = row.alarmKind;
  if (change.kind == AlarmKind::kResistanceLimit) change.limit = limit;
  change.othersStanding = othersStanding;
  return change;
}

// The rows after the place, a watch's own, in the record's order: rows before the place's time
// go; those of its very time are held until the place is met (then they go) or a later time
// comes first (then they follow: the place is not in the record).
class RecordReplay::Selector {
 public:
  using Give = std::function<void(RecordRow&&)>;
  Selector(const RecordPoint& after, std::string_view port) : after_(after), port_(port) {
    passed_ = after.AtStart();
  }

  void Feed(RecordRow&& row, const Give& give) {
    if (!passed_) {
      if (row.time < after_.time) return;
      if (row.time == after_.time && tied_.size() < kLargestTie) {
        if (PointOf(row) == after_) {
          tied_.clear();
          passed_ = true;
        } else {
          tied_.push_back(std::move(row));
        }
        return;
      }
      Release(give);
    }
    if (Published(row, port_)) give(std::move(row));
  }

  void Finish(const Give& give) {
    if (!passed_) Release(give);
  }

 private:
  void Release(const Give& give) {
    passed_ = true;
    for (RecordRow& held : tied_) {
      if (Published(held, port_)) give(std::move(held));
    }
    tied_.clear();
  }

  RecordPoint after_;
  std::string port_;
  bool passed_ = false;
  std::vector<RecordRow> tied_;
};

RecordReplay::RecordReplay(const QString& recordPath, std::string port, const RecordPoint& after,
                           const QDateTime& now, ReplayBounds bounds)
    : port_(std::move(port)), after_(after), cutoff_(now.addMSecs(-bounds.age.count())) {
  RecordQuery query;
  if (!after.AtStart()) query.from = after.time;
  // Counted first, so that the count's bound leaves out the oldest.
  std::uint64_t readings = 0;
  std::uint64_t alarms = 0;
  {
    Selector counting(after_, port_);
    const Selector::Give count = [&](RecordRow&& row) {
      if (row.time < cutoff_) {
        ++tooOld_;
      } else {
        ++(row.kind == RecordRow::Kind::kAlarm ? alarms : readings);
      }
    };
    ReadRecordRows(recordPath, query, [&](RecordRow&& row) { counting.Feed(std::move(row), count); });
    counting.Finish(count);
  }
  const std::uint64_t total = readings + alarms;
  const std::uint64_t excess = total > bounds.count ? total - bounds.count : 0;
  skipReadings_ = std::min(excess, readings);
  skipAlarms_ = excess - skipReadings_;
  readingsLeft_ = skipReadings_;
  alarmsLeft_ = skipAlarms_;
  waiting_ = total - excess;
  selector_ = std::make_unique<Selector>(after_, port_);
  stream_ = std::make_unique<RecordStream>(recordPath, query);
}

RecordReplay::~RecordReplay() = default;

bool RecordReplay::Next(RecordRow& row) {
  const Selector::Give keep = [this](RecordRow&& kept) {
    if (kept.time < cutoff_) return;
    std::uint64_t& left = kept.kind == RecordRow::Kind::kAlarm ? alarmsLeft_ : readingsLeft_;
    if (left > 0) {
      --left;
      return;
    }
    ready_.push_back(std::move(kept));
  };
  while (ready_.empty() && !ended_) {
    RecordRow read;
    if (stream_->Next(read)) {
      selector_->Feed(std::move(read), keep);
    } else {
      selector_->Finish(keep);
      ended_ = true;
      stream_.reset();  // its files go
    }
  }
  if (ready_.empty()) return false;
  row = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

}  // namespace karvello::gateway
