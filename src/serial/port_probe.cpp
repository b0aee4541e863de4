#include "serial/port_probe.h"

#include <QSerialPort>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace karvello {

std::vector<Probed> PortProbe::TryAll(const std::vector<int>& numbers) {
  std::vector<Probed> found;
  for (int n : numbers) found.push_back(Opens(n) ? Probed::kOpens : Probed::kDoesNotOpen);
  return found;
}

// One open on its thread. Shared with the thread, which may outlive the probe.
struct QtPortProbe::Attempt {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<bool> opened;  // set by the thread when the open has returned
  QThread* thread = nullptr;   // owned here until the open outlasts the bound
};

QtPortProbe::QtPortProbe(const PortMap& ports, std::chrono::milliseconds bound, Opener opener)
    : ports_(ports), bound_(bound), opener_(std::move(opener)) {}

QtPortProbe::~QtPortProbe() = default;

bool QtPortProbe::OpenSerialPort(const std::string& path) {
  QSerialPort port(QString::fromStdString(path));
  if (!port.open(QIODevice::ReadWrite)) return false;
  port.close();
  return true;
}

bool QtPortProbe::Opens(int number) {
  return TryAll({number}).front() == Probed::kOpens;
}

std::vector<Probed> QtPortProbe::TryAll(const std::vector<int>& numbers) {
  // Opens that have returned since the last call are no longer pending.
  std::erase_if(pending_, [](const auto& entry) {
    const std::lock_guard lock(entry.second->mutex);
    return entry.second->opened.has_value();
  });

  std::vector<Probed> found(numbers.size(), Probed::kDoesNotOpen);
  std::vector<std::shared_ptr<Attempt>> attempts(numbers.size());
  std::vector<std::string> paths(numbers.size());
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const auto path = ports_.DevicePath(numbers[i]);
    if (!path) continue;
    if (pending_.contains(*path)) {
      found[i] = Probed::kTimedOut;
      continue;
    }
    paths[i] = *path;
    auto attempt = std::make_shared<Attempt>();
    attempt->thread = QThread::create([attempt, opener = opener_, path = *path] {
      const bool opened = opener(path);
      const std::lock_guard lock(attempt->mutex);
      attempt->opened = opened;
      attempt->done.notify_all();
    });
    attempt->thread->start();
    attempts[i] = std::move(attempt);
  }

  const auto deadline = std::chrono::steady_clock::now() + bound_;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    Attempt* attempt = attempts[i].get();
    if (attempt == nullptr) continue;
    std::unique_lock lock(attempt->mutex);
    if (attempt->done.wait_until(lock, deadline,
                                 [attempt] { return attempt->opened.has_value(); })) {
      found[i] = *attempt->opened ? Probed::kOpens : Probed::kDoesNotOpen;
      lock.unlock();
      attempt->thread->wait();
      delete attempt->thread;
    } else {
      // Left running: a QThread must not be destroyed before its thread ends, so it deletes
      // itself when it does (where an event loop runs; otherwise it is let go at exit).
      found[i] = Probed::kTimedOut;
      QObject::connect(attempt->thread, &QThread::finished, attempt->thread, &QObject::deleteLater);
      attempt->thread = nullptr;
      pending_[paths[i]] = attempts[i];
    }
  }
  return found;
}

}  // namespace karvello
