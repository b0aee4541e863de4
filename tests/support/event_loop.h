#pragma once
// Running the real event loop until something has happened, for tests over a real line.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <chrono>
#include <functional>

namespace karvello::testing {

// Processes events until `done` holds or `timeout` has passed; returns whether `done` held.
inline bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QTimer heartbeat;  // wakes the loop so the deadline is seen even when nothing else happens
  heartbeat.setInterval(std::chrono::milliseconds(5));
  heartbeat.start();
  QDeadlineTimer deadline(timeout, Qt::PreciseTimer);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Like RunUntil, but the thread never sleeps in the loop: each round handles what is pending (for
// at most `slice`) and checks `done` again at once, so that a measured time holds no wake-up of a
// sleeping loop.
template <typename Done>
bool SpinUntil(Done done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds slice = std::chrono::milliseconds(5)) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                    static_cast<int>(slice.count()));
  }
  return true;
}

// Processes events for `duration`.
inline void RunFor(std::chrono::milliseconds duration) {
  RunUntil([] { return false; }, duration);
}

}  // namespace karvello::testing
