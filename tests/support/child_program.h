#pragma once
// A program run by a test as a child: started with its arguments and environment, its standard
// output and error gathered as they come, read until a pattern or a deadline, stopped (SIGTERM,
// then SIGKILL) when the test is done, and its exit status.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>

namespace karvello::testing {

class ChildProgram {
 public:
  struct Options {
    // Variables set on top of the test's own environment, and variables taken out of it.
    std::vector<std::pair<QString, QString>> set;
    QStringList unset;
    bool mergeErrors = false;  // standard error into standard output
    // May change the process (where its output goes, its input) before it starts.
    std::function<void(QProcess&)> setUp;

    Options& Set(const QString& name, const QString& value) {
      set.emplace_back(name, value);
      return *this;
    }
    Options& Unset(const QString& name) {
      unset << name;
      return *this;
    }
    Options& MergeErrors() {
      mergeErrors = true;
      return *this;
    }
    Options& SetUp(std::function<void(QProcess&)> change) {
      setUp = std::move(change);
      return *this;
    }
  };

  ChildProgram(const QString& program, const QStringList& arguments, const Options& options);
  ChildProgram(const QString& program, const QStringList& arguments)
      : ChildProgram(program, arguments, Options{}) {}
  // Stops it, if it still runs.
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool Started() const { return started_; }
  bool Running() const { return process_.state() != QProcess::NotRunning; }

  // Reads until standard output matches `pattern`, or `timeout` has passed, or the program ended.
  bool WaitFor(const QRegularExpression& pattern, std::chrono::milliseconds timeout);
  // Reads until standard output holds `lines` lines.
  bool WaitForLines(int lines, std::chrono::milliseconds timeout);
  // Reads what has come, waiting for at most `wait`.
  void Read(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

  // Waits for its end: the exit status, or -1 when it did not end normally in time.
  int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The same while the test's own event loop runs (a server the test plays itself).
  int FinishServing(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // SIGTERM, as Ctrl+C or a service manager stops it; then its status as Finish gives it.
  int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // SIGKILL: gone at once, as at a power cut.
  void Kill();
  // Sends `number` (POSIX only).
  void Signal(int number);

  void Write(const QByteArray& bytes) { process_.write(bytes); }
  void CloseInput() { process_.closeWriteChannel(); }

  const QString& Out() const { return out_; }
  const QString& Err() const { return err_; }
  QProcess& Process() { return process_; }

 private:
  int Status() const;

  QProcess process_;
  bool started_ = false;
  QString out_;
  QString err_;
};

}  // namespace karvello::testing
