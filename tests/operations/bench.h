#pragma once
// The operations on an in-memory line with port 1 open, with texts that record every write of
// the tool's, and the countdowns ticked by hand.

#include <string>
#include <vector>

#include "operations/operations.h"
#include "serial/fake_serial_line.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"

namespace karvello::testing {

inline constexpr Clock kAllClocks[] = {Clock::kSetDelay,          Clock::kMeasureDelay,
                                       Clock::kSetTimeout,        Clock::kAddressTimeout,
                                       Clock::kResistanceTimeout, Clock::kVoltageTimeout};

struct Bench {
  Bench() {
    line.Open(1);
    line.ForgetCalls();
  }

  // The user types into the address box.
  void Type(const std::string& text) { texts.Type(text); }

  // `times` ticks of the countdown's timer. A timer that is not running does not tick, so the
  // ticks end when the countdown stops. Returns the ticks that happened.
  int Tick(Clock clock, int times = 1) {
    Countdown& countdown = ops.CountdownOf(clock);
    int ticked = 0;
    for (; ticked < times && countdown.IsRunning(); ++ticked) countdown.Tick();
    return ticked;
  }
  bool On(Clock clock) const { return ops.CountdownOf(clock).IsRunning(); }
  int Count(Clock clock) const { return ops.CountdownOf(clock).Count(); }
  // The countdowns that run.
  std::vector<Clock> Running() const {
    std::vector<Clock> running;
    for (Clock clock : kAllClocks) {
      if (On(clock)) running.push_back(clock);
    }
    return running;
  }

  // The detector's side.
  void Receive(const std::string& hex) { line.Receive(Hex(hex)); }
  std::size_t Sent() const { return line.Written().size(); }
  std::vector<std::uint8_t> LastSent() const {
    return line.Written().empty() ? std::vector<std::uint8_t>{} : line.Written().back();
  }

  FakeSerialLine line;
  RecordingTexts texts;
  Operations ops{line, texts};
};

}  // namespace karvello::testing
