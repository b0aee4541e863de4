#include "support/child_program.h"

#include <QProcessEnvironment>
#include <algorithm>

#include "support/event_loop.h"

namespace karvello::testing {

using std::chrono::milliseconds;

ChildProgram::ChildProgram(const QString& program, const QStringList& arguments,
                           const Options& options) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const QString& name : options.unset) environment.remove(name);
  for (const auto& [name, value] : options.set) environment.insert(name, value);
  process_.setProcessEnvironment(environment);
  if (options.mergeErrors) process_.setProcessChannelMode(QProcess::MergedChannels);
  process_.setProgram(program);
  process_.setArguments(arguments);
  if (options.setUp) options.setUp(process_);
  process_.start();
  // A loaded machine (the suite runs its tests side by side) can take seconds to start one.
  started_ = process_.waitForStarted(30000);
}

ChildProgram::~ChildProgram() {
  if (!Running()) return;
  process_.terminate();
  if (!process_.waitForFinished(3000)) process_.kill();
  process_.waitForFinished(3000);
}

void ChildProgram::Read(milliseconds wait) {
  // Also with no wait: the pipes are only read in a wait or in the event loop.
  if (Running()) process_.waitForReadyRead(static_cast<int>(wait.count()));
  out_ += QString::fromUtf8(process_.readAllStandardOutput());
  err_ += QString::fromUtf8(process_.readAllStandardError());
}

bool ChildProgram::WaitFor(const QRegularExpression& pattern, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Read();
    if (pattern.match(out_).hasMatch()) return true;
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Running()) return false;
    Read(std::min(left, milliseconds(100)));
  }
}

bool ChildProgram::WaitForLines(int lines, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Read();
  while (out_.count('\n') < lines && Running() && std::chrono::steady_clock::now() < deadline) {
    Read(milliseconds(50));
  }
  Read();
  return out_.count('\n') >= lines;
}

int ChildProgram::Status() const {
  return !Running() && process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

int ChildProgram::Finish(milliseconds timeout) {
  if (Running()) process_.waitForFinished(static_cast<int>(timeout.count()));
  Read();
  return Status();
}

int ChildProgram::FinishServing(milliseconds timeout) {
  RunUntil([this] { return !Running(); }, timeout);
  Read();
  return Status();
}

int ChildProgram::Stop(milliseconds timeout) {
  if (Running()) process_.terminate();
  return Finish(timeout);
}

void ChildProgram::Kill() {
  process_.kill();
  process_.waitForFinished(3000);
  Read();
}

}  // namespace karvello::testing
