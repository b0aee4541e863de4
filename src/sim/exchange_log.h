#pragma once
// The line's log: one exchange per request taken, in order, numbered from 0 for the whole run
// but only the newest kKeptExchanges kept, so that a run of days stays in bounded memory. An
// exchange is logged before any of its reply goes out, and each piece of the reply is added, with
// its time, just before it is written: a reader that has got bytes of the reply finds them in
// the log. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "sim/detector_model.h"

namespace karvello::sim {

// One request taken and what was written in answer.
struct Exchange {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;  // every byte written so far, empty when none
  Clock::time_point requestFirstByte;
  Clock::time_point requestLastByte;
  // Taken just before the write of the reply's first byte and of its last byte so far: never
  // after a reader can have had the byte. Both left at the epoch when nothing was written.
  Clock::time_point replyFirstByte;
  Clock::time_point replyLastByte;
  // The whole reply is written (or none was due). Only the newest exchange can be unfinished: a
  // reply still to come after a pause, say.
  bool finished = false;
};

// How many of the newest exchanges a log keeps unless told otherwise: at some 150 bytes each,
// about 1.5 MB, and a reader printing them may fall this far behind before it misses any.
inline constexpr std::size_t kKeptExchanges = 10'000;

class ExchangeLog {
 public:
  // Keeps the newest `kept` exchanges (at least 1; std::invalid_argument otherwise).
  explicit ExchangeLog(std::size_t kept = kKeptExchanges);

  // Logs `exchange` as it is (finished or not) and returns its index, letting the oldest go
  // when more than the kept number would be held.
  std::size_t Add(Exchange exchange);
  // Adds `bytes` to the reply of exchange `index`, stamped now; returns the reply's size before.
  std::size_t AddReply(std::size_t index, std::span<const std::uint8_t> bytes);
  // Cuts the reply of exchange `index` back to `size` bytes: the rest was not written after all.
  void CutReply(std::size_t index, std::size_t size);
  // (Those three do nothing to an exchange already let go.)
  void Finish(std::size_t index);
  // Keeps the newest `kept` from now on (at least 1), letting go of older ones at once.
  void Keep(std::size_t kept);

  // The exchanges kept from `index` on, and the index of the first of them: above `index` when
  // those before it are let go, Count() when there is none.
  struct Slice {
    std::size_t first = 0;
    std::vector<Exchange> exchanges;
  };
  Slice Since(std::size_t index) const;
  std::size_t Count() const;  // every exchange logged, kept or let go
  // Waits until `count` exchanges are finished.
  bool WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // Exchange i of the run is log_[i - first_]; only the newest can be unfinished.
  Exchange* Find(std::size_t index);
  void LetGo();

  std::size_t kept_;
  std::deque<Exchange> log_;
  std::size_t first_ = 0;
  std::size_t finished_ = 0;  // exchanges of the run that are finished, kept or not
};

}  // namespace karvello::sim
