#include "serial/port_probe.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace karvello {

std::vector<Probed> PortProbe::TryAll(const std::vector<int>& numbers) {
  std::vector<Probed> found;
  for (int n : numbers) found.push_back(Opens(n) ? Probed::kOpens : Probed::kDoesNotOpen);
  return found;
}

// The opens of one TryAll, shared with the threads that make them, which may outlive the probe.
// Everything in it is guarded by `mutex`.
struct QtPortProbe::Attempt {
  std::string path;
  bool started = false;
  std::optional<bool> opened;  // set when the open has returned
};

struct QtPortProbe::Batch {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::shared_ptr<Attempt>> attempts;
  std::size_t next = 0;  // the first attempt no thread has taken yet
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
    const std::lock_guard lock(entry.second.first->mutex);
    return entry.second.second->opened.has_value();
  });

  std::vector<Probed> found(numbers.size(), Probed::kDoesNotOpen);
  auto batch = std::make_shared<Batch>();
  std::vector<std::size_t> index(numbers.size(), SIZE_MAX);  // number i's attempt
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const auto path = ports_.DevicePath(numbers[i]);
    if (!path) continue;
    if (pending_.contains(*path)) {
      found[i] = Probed::kTimedOut;
      continue;
    }
    index[i] = batch->attempts.size();
    batch->attempts.push_back(std::make_shared<Attempt>(Attempt{*path, false, std::nullopt}));
  }

  // Each thread takes the next attempt not taken yet until none is left.
  std::vector<QThread*> threads;
  const std::size_t count = std::min(batch->attempts.size(), kProbeThreads);
  for (std::size_t t = 0; t < count; ++t) {
    threads.push_back(QThread::create([batch, opener = opener_] {
      std::unique_lock lock(batch->mutex);
      while (batch->next < batch->attempts.size()) {
        const auto attempt = batch->attempts[batch->next++];
        attempt->started = true;
        lock.unlock();
        const bool opened = opener(attempt->path);
        lock.lock();
        attempt->opened = opened;
        batch->changed.notify_all();
      }
    }));
    threads.back()->start();
  }

  const auto deadline = std::chrono::steady_clock::now() + bound_;
  {
    std::unique_lock lock(batch->mutex);
    batch->changed.wait_until(lock, deadline, [&batch] {
      return std::all_of(batch->attempts.begin(), batch->attempts.end(),
                         [](const auto& attempt) { return attempt->opened.has_value(); });
    });
    batch->next = batch->attempts.size();  // nothing more is started
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      if (index[i] == SIZE_MAX) continue;
      const auto& attempt = batch->attempts[index[i]];
      if (attempt->opened) {
        found[i] = *attempt->opened ? Probed::kOpens : Probed::kDoesNotOpen;
      } else {
        found[i] = Probed::kTimedOut;
        if (attempt->started) pending_[attempt->path] = {batch, attempt};
      }
    }
  }
  // A thread whose open has not returned is left running: a QThread must not be destroyed before
  // its thread ends, so it deletes itself when it does (where an event loop runs; otherwise it is
  // let go at exit). Without such a thread all of them end at once.
  const bool blocked = std::any_of(pending_.begin(), pending_.end(), [&batch](const auto& entry) {
    return entry.second.first == batch;
  });
  for (QThread* thread : threads) {
    if (!blocked || thread->wait(QDeadlineTimer(0))) {
      thread->wait();
      delete thread;
    } else {
      QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    }
  }
  return found;
}

}  // namespace karvello
