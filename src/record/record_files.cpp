#include "record/record_files.h"

#include <QFileInfo>

namespace karvello {

bool RecordFiles::Exists(const QString& path) {
  return QFileInfo::exists(path);
}

RecordFiles& RecordFiles::System() {
  static RecordFiles system;
  return system;
}

}  // namespace karvello
