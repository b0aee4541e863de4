#pragma once
// A folder that no file can be made in, root's programs included: a regular file in its place.

#include <QDir>
#include <QFile>
#include <QString>

namespace karvello::testing {

// Puts a regular file where `folder` is (removing the folder and what it holds).
inline bool BlockFolder(const QString& folder) {
  QDir(folder).removeRecursively();
  QFile file(folder);
  return file.open(QIODevice::WriteOnly);
}

// Takes the file away again: the folder can be made.
inline bool UnblockFolder(const QString& folder) {
  return QFile::remove(folder);
}

}  // namespace karvello::testing
