#pragma once
// The line's log: one exchange per request taken, in order. An exchange is logged before any of
// its reply goes out, and each piece of the reply is added, with its time, just before it is
// written: a reader that has got bytes of the reply finds them in the log. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
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

class ExchangeLog {
 public:
  // Logs `exchange` as it is (finished or not) and returns its index.
  std::size_t Add(Exchange exchange);
  // Adds `bytes` to the reply of exchange `index`, stamped now; returns the reply's size before.
  std::size_t AddReply(std::size_t index, std::span<const std::uint8_t> bytes);
  // Cuts the reply of exchange `index` back to `size` bytes: the rest was not written after all.
  void CutReply(std::size_t index, std::size_t size);
  void Finish(std::size_t index);

  std::vector<Exchange> All() const;
  std::size_t Count() const;
  // Waits until `count` exchanges are finished.
  bool WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Exchange> log_;
  std::size_t finished_ = 0;  // exchanges in log_ that are finished
};

}  // namespace karvello::sim
