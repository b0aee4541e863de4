#pragma once
// What karvello-sim prints as it serves: each exchange once finished, in order, with the time of
// day to the millisecond, and the bytes dropped that made no request. It never leaves out an
// exchange it has not printed unless the log let it go (the printer fell more than the log keeps
// behind), and then it says how many it left out.

#include <QtGlobal>
#include <cstdio>
#include <string>

#include "sim/simulated_detector.h"

namespace karvello::sim {

class ExchangePrinter {
 public:
  explicit ExchangePrinter(std::FILE* out);

  // Prints what `detector` has logged and dropped since the last call.
  void PrintNew(const SimulatedDetector& detector);
  // The exchanges of the run dealt with: printed, or left out and said so.
  std::size_t Done() const { return done_; }

 private:
  // The time of day of a steady-clock instant, to the millisecond.
  std::string TimeOfDay(Clock::time_point t) const;
  void Print(const Exchange& e) const;

  std::FILE* out_;
  Clock::time_point steadyStart_ = Clock::now();
  qint64 wallStartMs_;
  std::size_t done_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace karvello::sim
