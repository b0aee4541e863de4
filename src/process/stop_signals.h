#pragma once
// The requests to stop that a program ends on gently, after the work in progress, rather than at
// once: Ctrl-C, SIGTERM and SIGHUP (the terminal closed, the ssh session dropped) on POSIX
// systems; Ctrl-C, Ctrl-Break and the console closing, logging off or shutting down on Windows.
// One catcher per program: stop_signals_posix.cpp or stop_signals_win.cpp, the build choosing.

#include <QObject>
#include <QPointer>
#include <functional>

namespace karvello {

class StopSignals {
 public:
  // Catches them from now on, until this goes: made first thing in main, no early one is lost.
  StopSignals();
  // They end the program again, as the system has them do.
  ~StopSignals();
  Q_DISABLE_COPY(StopSignals)

  // Whether they are caught: false when the system gave no means to (they end the program).
  bool Catching() const { return catching_; }
  // Whether one has come.
  bool Came() const;
  // Calls `onStop` in the event loop of `context`'s thread for each one that comes (one that came
  // before, too), while both this and `context` live.
  void OnEach(QObject* context, std::function<void()> onStop);

 private:
  bool catching_ = false;
  QPointer<QObject> relay_;  // what hands them to the event loop, a child of the context
};

}  // namespace karvello
