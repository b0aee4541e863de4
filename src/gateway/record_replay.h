#pragma once
// What a watch's broker has not acknowledged, read back from the record: the watch's readings and
// alarms after a place in the record (published_point.h), oldest first, across the files the
// record has set aside meanwhile, read as a stream in bounded memory. Bounded by age and by
// count; what the bounds leave out is counted.

#include <QDateTime>
#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "gateway/published_point.h"
#include "present/reading_fields.h"
#include "record/record_row.h"

namespace karvello {
class RecordStream;
}

namespace karvello::gateway {

// Rows older than this (by the clock as the replay begins) are left out: a week of a site's
// readings, which a broker's subscribers would take for history rather than news.
inline constexpr std::chrono::hours kReplayAge{7 * 24};
// At most this many rows are replayed, the newest: 3 detectors read every 10 s for 3.8 days;
// past it the oldest readings are left out, then (only with no reading left) the oldest alarms.
inline constexpr std::size_t kReplayCount = 100000;

struct ReplayBounds {
  std::chrono::milliseconds age = kReplayAge;
  std::size_t count = kReplayCount;
};

// Whether the row is one a watch on `port` publishes: an alarm's change (of either kind) at an
// address from 1 to 255, or its reading of a voltage or a resistance there (a late reply is recorded only).
bool Published(const RecordRow& row, std::string_view port);

// The alarm's change that a row of an alarm records, as the watch hands it to its publisher. The
// record keeps no limit: `limit` is the watch's, and a resistance limit's alone. `othersStanding`:
// an alarm of the other kind stands at the row's address.
AlarmChange AlarmChangeOf(const RecordRow& row, double limit, bool othersStanding);

class RecordReplay {
 public:
  // Counts at once the rows of the record at `recordPath` after `after` that a watch on `port`
  // published, and begins reading them. A place not found in the record (its file deleted, or
  // damaged) leaves every row after its time, and those of its very time, to be replayed.
  RecordReplay(const QString& recordPath, std::string port, const RecordPoint& after,
               const QDateTime& now, ReplayBounds bounds = {});
  ~RecordReplay();
  RecordReplay(const RecordReplay&) = delete;
  RecordReplay& operator=(const RecordReplay&) = delete;

  // The next row to replay; false at the end (rows appended meanwhile are given too).
  bool Next(RecordRow& row);

  // As counted when it was made: the rows to replay, and those the bounds leave out.
  std::uint64_t Waiting() const { return waiting_; }
  std::uint64_t TooOld() const { return tooOld_; }
  std::uint64_t OverCount() const { return skipReadings_ + skipAlarms_; }

 private:
  class Selector;

  std::string port_;
  RecordPoint after_;
  QDateTime cutoff_;
  std::uint64_t waiting_ = 0;
  std::uint64_t tooOld_ = 0;
  std::uint64_t skipReadings_ = 0;
  std::uint64_t skipAlarms_ = 0;
  std::uint64_t readingsLeft_ = 0;  // still to skip while reading
  std::uint64_t alarmsLeft_ = 0;
  std::unique_ptr<Selector> selector_;
  std::unique_ptr<RecordStream> stream_;
  std::deque<RecordRow> ready_;
  bool ended_ = false;
};

}  // namespace karvello::gateway
