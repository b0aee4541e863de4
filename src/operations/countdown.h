#pragma once
// A countdown: one precise timer (a count of ticks is a promised time), its tick count, its
// limit and what it does when it runs out. It acts on the tick after its count has reached its
// limit, so on tick number limit + 1. Starting a countdown that runs already leaves it as it
// was; stopping one sets its count back to 0.

#include <QTimer>
#include <chrono>
#include <functional>

namespace karvello {

class Countdown {
 public:
  Countdown(std::chrono::milliseconds interval, int limit) : limit_(limit) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  }
  Countdown(const Countdown&) = delete;
  Countdown& operator=(const Countdown&) = delete;

  void SetOnRunOut(std::function<void()> action) { onRunOut_ = std::move(action); }

  void Start() {
    if (!timer_.isActive()) timer_.start();
  }
  void Stop() {
    timer_.stop();
    count_ = 0;
  }
  // One tick: the timer calls it, and so may a test that does not want to wait. A stopped
  // countdown does not tick.
  void Tick() {
    if (!timer_.isActive()) return;
    if (count_ < limit_) {
      ++count_;
    } else if (onRunOut_) {
      onRunOut_();
    }
    if (onTick_) onTick_();
  }
  void SetOnTick(std::function<void()> handler) { onTick_ = std::move(handler); }

  bool IsRunning() const { return timer_.isActive(); }
  int Count() const { return count_; }
  int Limit() const { return limit_; }
  std::chrono::milliseconds Interval() const { return timer_.intervalAsDuration(); }
  bool IsPrecise() const { return timer_.timerType() == Qt::PreciseTimer; }

 private:
  QTimer timer_;
  int count_ = 0;
  int limit_;
  std::function<void()> onRunOut_;
  std::function<void()> onTick_;
};

}  // namespace karvello
