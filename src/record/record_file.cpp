// What the record's file layer does alike on every system.

#include <string>

#include "record/record_file.h"

namespace karvello {

QString NotRegularFileText() {
  return QStringLiteral("not a regular file");
}

QString NotRegularFileText(FileKind kind) {
  switch (kind) {
    case FileKind::kFolder:
      return QStringLiteral("a folder, ") + NotRegularFileText();
    case FileKind::kFifo:
      return QStringLiteral("a FIFO, ") + NotRegularFileText();
    case FileKind::kDevice:
      return QStringLiteral("a device, ") + NotRegularFileText();
    case FileKind::kSocket:
      return QStringLiteral("a socket, ") + NotRegularFileText();
    case FileKind::kOther:
      break;
  }
  return NotRegularFileText();
}

std::string AppendedBytes(std::int64_t size, char last, std::string_view head,
                          std::string_view line) {
  std::string bytes;
  if (size == 0) bytes = std::string(head);
  if (size > 0 && last != '\n') bytes = "\r\n";
  bytes += line;
  return bytes;
}

void FileForReading::Say(QString* problem, const QString& path, const QString& why) {
  if (problem != nullptr && problem->isEmpty()) *problem = path + QStringLiteral(": ") + why;
}

}  // namespace karvello
