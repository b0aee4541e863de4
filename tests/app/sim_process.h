#pragma once
// karvello-sim run as a child process for a test: started with options, its pseudo-terminal's
// path read from what it prints, its output kept, and stopped (SIGTERM) when the test is done.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <chrono>
#include <string>

namespace karvello::testing {

class SimProcess {
 public:
  explicit SimProcess(const QStringList& options) {
    process_.setProgram(QStringLiteral(KARVELLO_SIM_EXECUTABLE));
    process_.setArguments(options);
    process_.start();
    if (!process_.waitForStarted(5000)) return;
    // The serving line comes once the line is ready.
    const QRegularExpression serving(QStringLiteral("^Serving (\\S+)"),
                                     QRegularExpression::MultilineOption);
    if (WaitForOutput(serving, std::chrono::seconds(5))) {
      path_ = serving.match(output_).captured(1).toStdString();
    }
  }
  ~SimProcess() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(3000)) process_.kill();
      process_.waitForFinished(3000);
    }
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The pseudo-terminal it serves; empty if it never said.
  const std::string& Path() const { return path_; }

  // Reads its output until `pattern` matches somewhere in it, or `timeout`.
  bool WaitForOutput(const QRegularExpression& pattern, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      output_ += QString::fromUtf8(process_.readAllStandardOutput());
      if (pattern.match(output_).hasMatch()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || process_.state() == QProcess::NotRunning) return false;
      process_.waitForReadyRead(static_cast<int>(std::min<long long>(left.count(), 100)));
    }
  }

  // Stops it with SIGTERM, as Ctrl+C would, and returns its exit status.
  int Stop() {
    process_.terminate();
    process_.waitForFinished(3000);
    output_ += QString::fromUtf8(process_.readAllStandardOutput());
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }

  // Kills it outright (SIGKILL): its line goes as a pulled adapter's does.
  void Kill() {
    process_.kill();
    process_.waitForFinished(3000);
  }

  const QString& Output() const { return output_; }

 private:
  QProcess process_;
  QString output_;
  std::string path_;
};

}  // namespace karvello::testing
