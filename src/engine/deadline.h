#pragma once
// A deadline on a precise timer: it runs out its duration after it was started. Starting one
// that runs already leaves it as it was. While it runs it may also tick every second, for a view
// that counts the seconds.

#include <QTimer>
#include <chrono>
#include <functional>

namespace karvello {

class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds duration) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(true);
    timer_.setInterval(duration);
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(std::chrono::seconds(1));
    QObject::connect(&timer_, &QTimer::timeout, [this] { Expire(); });
    QObject::connect(&ticker_, &QTimer::timeout, [this] { Tick(); });
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // A new duration, from the next start on.
  void SetDuration(std::chrono::milliseconds duration) {
    if (!running_) timer_.setInterval(duration);
  }

  void SetOnExpired(std::function<void()> action) { onExpired_ = std::move(action); }
  void SetOnSecond(std::function<void()> action) { onSecond_ = std::move(action); }

  void Start() {
    if (running_) return;
    running_ = true;
    seconds_ = 0;
    timer_.start();
    if (onSecond_) ticker_.start();
  }
  void Stop() {
    running_ = false;
    timer_.stop();
    ticker_.stop();
    seconds_ = 0;
  }
  // The duration has passed: the timer calls it, and so may a test that does not want to wait.
  // A stopped deadline does not run out.
  void Expire() {
    if (!running_) return;
    Stop();
    if (onExpired_) onExpired_();
  }
  // A second has passed (the ticker calls it, or a test).
  void Tick() {
    if (!running_) return;
    ++seconds_;
    if (onSecond_) onSecond_();
  }

  bool IsRunning() const { return running_; }
  std::chrono::milliseconds Duration() const { return timer_.intervalAsDuration(); }
  std::chrono::seconds Elapsed() const { return std::chrono::seconds(seconds_); }
  bool IsPrecise() const { return timer_.timerType() == Qt::PreciseTimer; }

 private:
  QTimer timer_;
  QTimer ticker_;
  bool running_ = false;
  int seconds_ = 0;
  std::function<void()> onExpired_;
  std::function<void()> onSecond_;
};

}  // namespace karvello
