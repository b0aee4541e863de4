#pragma once
// karvello-cli run as a program by the tests (the test's target defines
// KARVELLO_CLI_EXECUTABLE): started with its arguments, its output gathered as it comes, and its
// exit status.

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/child_program.h"

namespace karvello {

class Cli : private testing::ChildProgram {
 public:
  // With `record`, outcomes go to that record file; without, --no-record is added. The
  // environment's KARVELLO_MQTT_PASSWORD is never passed on.
  explicit Cli(QStringList arguments, const QString& record = {}, Options options = {})
      : ChildProgram(QStringLiteral(KARVELLO_CLI_EXECUTABLE),
                     WithRecord(std::move(arguments), record),
                     WithEnvironment(std::move(options), record)) {}

  using ChildProgram::Finish;
  using ChildProgram::FinishServing;
  using ChildProgram::Kill;
  using ChildProgram::Options;
  using ChildProgram::Read;
  using ChildProgram::Running;
  using ChildProgram::Signal;
  using ChildProgram::Stop;
  using ChildProgram::WaitFor;
  using ChildProgram::WaitForLines;

  // The lines of standard output so far, after reading what has come for at most `wait`.
  int Lines(std::chrono::milliseconds wait = std::chrono::milliseconds(50)) {
    Read(wait);
    return static_cast<int>(ChildProgram::Out().count('\n'));
  }
  std::string Out() const { return ChildProgram::Out().toStdString(); }
  std::string Err() const { return ChildProgram::Err().toStdString(); }
  // Standard output's lines, each a JSON object (--format json).
  std::vector<QJsonObject> Objects() const {
    std::vector<QJsonObject> objects;
    for (const QString& line : ChildProgram::Out().split('\n', Qt::SkipEmptyParts)) {
      objects.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
    }
    return objects;
  }

 private:
  static QStringList WithRecord(QStringList arguments, const QString& record) {
    if (record.isEmpty()) arguments << QStringLiteral("--no-record");
    return arguments;
  }
  static Options WithEnvironment(Options options, const QString& record) {
    options.unset << QStringLiteral("KARVELLO_MQTT_PASSWORD");
    if (!record.isEmpty()) options.set.emplace_back(QStringLiteral("KARVELLO_RECORD"), record);
    return options;
  }
};

}  // namespace karvello
