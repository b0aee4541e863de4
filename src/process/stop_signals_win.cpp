// The requests to stop on Windows: the console's Ctrl-C, Ctrl-Break and closing, logging off or
// shutting down, which the console hands to a thread of its own.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QMetaObject>
#include <atomic>

#include "process/stop_signals.h"

namespace karvello {
namespace {

std::atomic<bool> came{false};
// What is called for each, queued to the event loop's thread; empty until told.
QPointer<QObject> stopContext;
std::function<void()> onEachStop;

void QueueStop() {
  came = true;
  if (stopContext) QMetaObject::invokeMethod(stopContext.data(), onEachStop, Qt::QueuedConnection);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      QueueStop();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Windows ends the program when this returns, or some seconds after the event: the
      // stop is asked for as on SIGTERM, and the work in progress gets those seconds.
      QueueStop();
      Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

StopSignals::StopSignals() {
  came = false;
  catching_ = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

StopSignals::~StopSignals() {
  if (catching_) SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  stopContext = nullptr;
}

bool StopSignals::Came() const {
  return came;
}

void StopSignals::OnEach(QObject* context, std::function<void()> onStop) {
  if (!catching_) return;
  onEachStop = std::move(onStop);
  stopContext = context;
  if (came) QMetaObject::invokeMethod(context, onEachStop, Qt::QueuedConnection);
}

}  // namespace karvello
