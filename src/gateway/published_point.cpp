#include "gateway/published_point.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>

#include "present/times.h"
#include "record/record_format.h"

namespace karvello::gateway {
namespace {

constexpr std::string_view kFirstLine = "karvello-published 1";
constexpr std::string_view kStartWord = "start";
constexpr std::string_view kNoDigest = "-";
// A digest's hex digits (SHA-1); the file is a few lines, nothing more.
constexpr qsizetype kDigestDigits = 40;
constexpr qint64 kLargestFile = 256;

QByteArray Hex(QByteArrayView bytes, QCryptographicHash::Algorithm algorithm) {
  return QCryptographicHash::hash(bytes, algorithm).toHex();
}

}  // namespace

RecordPoint PointOf(const RecordRow& row) {
  const std::string line = CsvLine(row);
  return {row.time, Hex(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())),
                        QCryptographicHash::Sha1)
                        .toStdString()};
}

std::string PointText(const RecordPoint& point) {
  return std::string(kFirstLine) + "\n" +
         (point.AtStart() ? std::string(kStartWord) : TimeText(point.time)) + "\n" +
         (point.AtStart() ? std::string(kNoDigest) : point.digest) + "\n";
}

PointFile ReadPointFile(const QString& path) {
  QFile file(path);
  if (!file.exists()) return {};
  PointFile read;
  read.state = PointFile::State::kDamaged;
  if (!file.open(QIODevice::ReadOnly)) {
    read.problem = file.errorString().toStdString();
    return read;
  }
  const QByteArray text = file.read(kLargestFile + 1);
  const QList<QByteArray> lines = text.split('\n');
  // Three lines, each ended.
  if (text.size() > kLargestFile || lines.size() != 4 || !lines[3].isEmpty() ||
      lines[0] != QByteArray(kFirstLine.data(), static_cast<qsizetype>(kFirstLine.size()))) {
    read.problem = "not a position as the watch writes it";
    return read;
  }
  if (lines[1] == kStartWord.data() && lines[2] == kNoDigest.data()) {
    read.state = PointFile::State::kRead;
    return read;
  }
  const QDateTime time = QDateTime::fromString(QString::fromLatin1(lines[1]), Qt::ISODateWithMs);
  const bool hex = lines[2].size() == kDigestDigits &&
                   std::all_of(lines[2].begin(), lines[2].end(), [](char c) {
                     return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                   });
  if (!time.isValid() || TimeText(time) != lines[1].toStdString() || !hex) {
    read.problem = "its time or digest cannot be read";
    return read;
  }
  read.state = PointFile::State::kRead;
  read.point = {time, lines[2].toStdString()};
  return read;
}

QString PointPath(const QString& recordPath, std::string_view port, std::string_view prefix) {
  const std::string key = std::string(port) + "\n" + std::string(prefix);
  const QByteArray digest =
      Hex(QByteArrayView(key.data(), static_cast<qsizetype>(key.size())), QCryptographicHash::Sha1);
  return recordPath + QStringLiteral(".published-") + QString::fromLatin1(digest.left(8));
}

}  // namespace karvello::gateway
