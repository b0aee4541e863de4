// The requests to stop on POSIX systems: SIGINT, SIGTERM and SIGHUP, their handler noting each
// and writing a byte to a pipe that the event loop watches.

#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#include <iterator>

#include "process/stop_signals.h"

namespace karvello {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler writes a byte here; the event loop reads it.
int stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t came = 0;
struct sigaction before[std::size(kStopSignals)];

extern "C" void OnStopSignal(int) {
  came = 1;
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

}  // namespace

StopSignals::StopSignals() {
  came = 0;
  if (::pipe(stopPipe) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], &action, &before[i]);
  }
  catching_ = true;
}

StopSignals::~StopSignals() {
  delete relay_.data();
  if (!catching_) return;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], &before[i], nullptr);
  }
  ::close(stopPipe[0]);
  ::close(stopPipe[1]);
  stopPipe[0] = stopPipe[1] = -1;
}

bool StopSignals::Came() const {
  return came != 0;
}

void StopSignals::OnEach(QObject* context, std::function<void()> onStop) {
  if (!catching_) return;
  auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [onStop = std::move(onStop)] {
    char byte = 0;
    [[maybe_unused]] const auto read = ::read(stopPipe[0], &byte, 1);
    onStop();
  });
  relay_ = notifier;
}

}  // namespace karvello
