#pragma once
// A picture of a window as the X server shows it, kept for the README and for a person looking
// into a failure: in $KARVELLO_ARTIFACT_DIR (the working folder without it), taken with
// ImageMagick's import (the test's target defines IMPORT_EXECUTABLE).

#include <QDir>
#include <QImage>
#include <QString>
#include <QTest>
#include <QWidget>
#include <string>

#include "support/child_program.h"

namespace karvello::testing {

inline QString ArtifactDir() {
  const QString dir = qEnvironmentVariable("KARVELLO_ARTIFACT_DIR", QStringLiteral("."));
  QDir().mkpath(dir);
  return dir;
}

// Lets the last paint reach the screen, then keeps `window` as `name` (say "main_window.png").
// What went wrong, or nothing when the picture holds the whole window.
inline std::string Screenshot(const QWidget& window, const QString& name) {
  QTest::qWait(200);
  const QString shot = ArtifactDir() + QLatin1Char('/') + name;
  ChildProgram import(QStringLiteral(IMPORT_EXECUTABLE),
                      {QStringLiteral("-window"), QString::number(window.winId()), shot});
  if (const int status = import.Finish(); status != 0) {
    return "import ended with " + std::to_string(status) + ": " + import.Err().toStdString();
  }
  if (QImage(shot).size() != window.size()) return shot.toStdString() + " is not the window's size";
  return {};
}

}  // namespace karvello::testing
