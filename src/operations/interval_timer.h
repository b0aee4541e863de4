#pragma once
// An interval timer of the precise kind (a count of ticks is a promised time), turned on and off
// at run time. Turning on a timer that is already on leaves it running as it was.

#include <QTimer>
#include <chrono>
#include <functional>

namespace karvello {

class IntervalTimer {
 public:
  IntervalTimer(std::chrono::milliseconds interval, std::function<void()> onTick) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    QObject::connect(&timer_, &QTimer::timeout, std::move(onTick));
  }
  IntervalTimer(const IntervalTimer&) = delete;
  IntervalTimer& operator=(const IntervalTimer&) = delete;

  void TurnOn() {
    if (!timer_.isActive()) timer_.start();
  }
  void TurnOff() { timer_.stop(); }
  bool IsOn() const { return timer_.isActive(); }
  std::chrono::milliseconds Interval() const { return timer_.intervalAsDuration(); }
  bool IsPrecise() const { return timer_.timerType() == Qt::PreciseTimer; }

 private:
  QTimer timer_;
};

}  // namespace karvello
