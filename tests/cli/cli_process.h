#pragma once
// karvello-cli run as a program by the tests: started with its arguments, its output gathered
// as it comes, and its exit status.

#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <string>

#include "support/event_loop.h"

namespace karvello {

// karvello-cli started with `arguments` (and --no-record); its output as it comes.
class Cli {
 public:
  // With `record`, outcomes go to that record file rather than nowhere. `setUp` may change the
  // process (its environment, where its output goes) before it starts.
  explicit Cli(QStringList arguments, const QString& record = {},
               const std::function<void(QProcess&)>& setUp = {}) {
    if (record.isEmpty()) {
      arguments << "--no-record";
    } else {
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.insert(QStringLiteral("KARVELLO_RECORD"), record);
      process_.setProcessEnvironment(environment);
    }
    if (setUp) setUp(process_);
    process_.start(QStringLiteral(KARVELLO_CLI_EXECUTABLE), arguments);
    process_.waitForStarted(5000);
  }
  ~Cli() {
    if (process_.state() != QProcess::NotRunning) process_.kill();
    process_.waitForFinished(3000);
  }
  // Waits until standard output holds `lines` lines.
  bool WaitForLines(int lines, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.count('\n') < lines && std::chrono::steady_clock::now() < deadline) {
      process_.waitForReadyRead(50);
      out_ += QString::fromUtf8(process_.readAllStandardOutput());
    }
    return out_.count('\n') >= lines;
  }
  void Signal(int number) { ::kill(static_cast<pid_t>(process_.processId()), number); }
  // Waits for the end; the exit status, or -1 when it did not end normally in time.
  int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const bool ended = process_.waitForFinished(static_cast<int>(timeout.count()));
    out_ += QString::fromUtf8(process_.readAllStandardOutput());
    err_ = QString::fromUtf8(process_.readAllStandardError());
    return ended && process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }
  // The same while the test's own event loop runs, for a server the test plays itself.
  int FinishServing(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    testing::RunUntil([this] { return process_.state() == QProcess::NotRunning; }, timeout);
    out_ += QString::fromUtf8(process_.readAllStandardOutput());
    err_ = QString::fromUtf8(process_.readAllStandardError());
    return process_.state() == QProcess::NotRunning && process_.exitStatus() == QProcess::NormalExit
               ? process_.exitCode()
               : -1;
  }
  std::string Out() const { return out_.toStdString(); }
  std::string Err() const { return err_.toStdString(); }

 private:
  QProcess process_;
  QString out_;
  QString err_;
};

}  // namespace karvello
