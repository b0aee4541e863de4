#pragma once
// karvello-sim run as a child process for a test (the test's target defines
// KARVELLO_SIM_EXECUTABLE): started with options, the line it serves read from what it prints,
// and stopped (SIGTERM) when the test is done.

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <chrono>
#include <string>

#include "support/child_program.h"

namespace karvello::testing {

class SimProcess : private ChildProgram {
 public:
  explicit SimProcess(const QStringList& options)
      : ChildProgram(QStringLiteral(KARVELLO_SIM_EXECUTABLE), options) {
    // The serving line comes once the line is ready.
    const QRegularExpression serving(QStringLiteral("^Serving (\\S+)"),
                                     QRegularExpression::MultilineOption);
    if (Started() && WaitFor(serving, std::chrono::seconds(5))) {
      path_ = serving.match(Out()).captured(1).toStdString();
    }
  }

  // The line it serves (a pseudo-terminal, or tcp://...); empty if it never said.
  const std::string& Path() const { return path_; }

  // Reads its output until `pattern` matches somewhere in it, or `timeout`.
  bool WaitForOutput(const QRegularExpression& pattern, std::chrono::milliseconds timeout) {
    return WaitFor(pattern, timeout);
  }
  // Stops it with SIGTERM, as Ctrl+C would, and returns its exit status.
  int Stop() { return ChildProgram::Stop(); }
  // Kills it outright (SIGKILL): its line goes as a pulled adapter's does.
  using ChildProgram::Kill;
  const QString& Output() const { return Out(); }

 private:
  std::string path_;
};

}  // namespace karvello::testing
