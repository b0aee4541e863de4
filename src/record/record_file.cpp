// What the record's file layer does alike on every system.

#include <algorithm>
#include <string>

#include "record/record_file.h"

namespace karvello {

QString NotRegularFileText() {
  return QStringLiteral("not a regular file");
}

std::string AppendedBytes(std::int64_t size, char last, std::string_view head,
                          std::string_view line) {
  std::string bytes;
  if (size == 0) bytes = std::string(head);
  if (size > 0 && last != '\n') bytes = "\r\n";
  bytes += line;
  return bytes;
}

void FileForReading::Buffer::Grow(std::size_t size, std::size_t kept) {
  std::unique_ptr<char[]> more(new char[size]);
  std::copy(bytes.get(), bytes.get() + kept, more.get());
  bytes = std::move(more);
  this->size = size;
}

std::string_view FileForReading::ReadAll(Buffer& buffer) {
  if (!Rewind()) return {};
  const std::size_t expected = static_cast<std::size_t>(size_) + 65536;
  if (buffer.size < expected) buffer.Grow(expected, 0);
  std::size_t got = 0;
  for (;;) {
    if (got == buffer.size) buffer.Grow(2 * buffer.size, got);
    const std::size_t n = ReadNext(buffer.bytes.get() + got, buffer.size - got, got);
    if (n == 0) break;
    got += n;
  }
  return {buffer.bytes.get(), got};
}

void FileForReading::Say(QString* problem, const QString& path, const QString& why) {
  if (problem != nullptr && problem->isEmpty()) *problem = path + QStringLiteral(": ") + why;
}

}  // namespace karvello
