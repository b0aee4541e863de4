#pragma once
// What the watch tests wait on and read back: a condition polled until it holds, and the times of
// the readings a watch printed as JSON.

#include <QDateTime>
#include <QJsonObject>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace karvello::cli_test {

// Polls `done` every `step` until it holds or `timeout` has passed; whether it held.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds step = std::chrono::milliseconds(50)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// The "time" of each of a watch's printed objects (--format json), in order.
inline std::vector<QDateTime> Times(const std::vector<QJsonObject>& printed) {
  std::vector<QDateTime> times;
  for (const QJsonObject& object : printed) {
    times.push_back(QDateTime::fromString(object["time"].toString(), Qt::ISODateWithMs));
  }
  return times;
}

}  // namespace karvello::cli_test
