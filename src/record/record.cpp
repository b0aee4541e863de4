#include "record/record.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <chrono>
#include <memory>

#include "record/csv.h"
#include "record/record_file.h"
#include "record/record_files.h"
#include "record/record_read.h"

namespace karvello {
QString DefaultRecordPath() {
  const QString chosen = qEnvironmentVariable("KARVELLO_RECORD");
  if (!chosen.isEmpty()) return chosen;
  // Every front end shares the main program's folder, whatever its own name.
  const QString ownName = QCoreApplication::applicationName();
  const QString sharedName = QStringLiteral("karvello");
  if (ownName != sharedName) QCoreApplication::setApplicationName(sharedName);
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (ownName != sharedName) QCoreApplication::setApplicationName(ownName);
  return folder + QStringLiteral("/record.csv");
}

Record::Record(QString path, std::int64_t sizeLimit)
    : Record(std::move(path), sizeLimit, RecordFiles::System()) {}

Record::Record(QString path, std::int64_t sizeLimit, RecordFiles& files)
    : path_(std::move(path)), sizeLimit_(sizeLimit), files_(files) {}

bool Record::Append(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  return Append(RowOf(outcome, port, when));
}

bool Record::Append(const RecordRow& row) {
  QString reason;
  if (Write(CsvLine(row), reason)) {
    if (rowsNotKept_ > 0) Tell(Notice::Kind::kWrittenAgain);
    rowsNotKept_ = 0;
    return true;
  }
  if (++rowsNotKept_ == 1) Tell(Notice::Kind::kNotWritten, reason);
  return false;
}

void Record::Tell(Notice::Kind kind, const QString& reason) {
  if (onNotice_) onNotice_({kind, path_, reason, rowsNotKept_});
}

QString Record::LockPath(const QString& path) {
  return path + QStringLiteral(".lock");
}

QString Record::OldFilePath(const QString& path, int n) {
  const QFileInfo info(path);
  const QString suffix = info.suffix();
  const QString numbered = QStringLiteral(".%1").arg(n);
  if (suffix.isEmpty()) return path + numbered;
  return path.left(path.size() - suffix.size() - 1) + numbered + u'.' + suffix;
}

bool Record::Rotate(QString& reason) {
  const auto name = [this](int n) { return n == 0 ? path_ : OldFilePath(path_, n); };
  // Files 0 to last - 1 each move one further: up to the first free place, or with none free
  // the oldest to `parked`, where it waits until the newest has taken its place.
  int free = 1;
  while (free <= kKeptOldFiles && files_.Exists(name(free))) ++free;
  const int last = std::min(free, kKeptOldFiles + 1);
  const QString parked = name(kKeptOldFiles + 1);
  for (int n = 0; n < last; ++n) {
    if (!files_.MayRename(name(n), reason)) {
      reason = QStringLiteral("cannot rename %1: %2").arg(name(n), reason);
      return false;
    }
  }
  // One still parked there (a rotation cut short) is older than every file kept: it goes now.
  if (last > kKeptOldFiles && files_.Exists(parked) && !files_.Remove(parked, reason)) {
    reason = QStringLiteral("cannot delete %1: %2").arg(parked, reason);
    return false;
  }
  // From the oldest, so that every target is free; taken back in turn if one fails.
  for (int n = last - 1; n >= 0; --n) {
    const QString to = n == kKeptOldFiles ? parked : name(n + 1);
    if (files_.Rename(name(n), to, reason)) continue;
    reason = QStringLiteral("cannot rename %1 to %2: %3").arg(name(n), to, reason);
    QString ignored;
    for (int back = n + 1; back < last; ++back) {
      const QString from = back == kKeptOldFiles ? parked : name(back + 1);
      if (!files_.Rename(from, name(back), ignored)) break;  // the rest stay as they are, renamed
    }
    return false;
  }
  // Should it stay (held open), it is read as the oldest until the next rotation deletes it.
  QString ignored;
  if (last > kKeptOldFiles) files_.Remove(parked, ignored);
  return true;
}

bool Record::Write(const std::string& line, QString& reason) {
  QDir().mkpath(QFileInfo(path_).absolutePath());  // its failure shows as the lock's
  const FileLock lock(LockPath(path_), kLockWait);
  if (!lock.Held()) {
    reason = lock.Error();
    return false;
  }
  const QFileInfo info(path_);
  if (info.exists() && !info.isFile()) {  // never renamed, nor opened for writing
    reason = NotRegularFileText();
    return false;
  }
  const std::int64_t size = info.exists() ? info.size() : 0;
  if (size > 0 && size + static_cast<std::int64_t>(line.size()) > sizeLimit_) {
    QString why;
    if (Rotate(why)) {
      if (notRotated_) Tell(Notice::Kind::kRotatedAgain);
      notRotated_ = false;
    } else if (!notRotated_) {
      notRotated_ = true;
      Tell(Notice::Kind::kNotRotated, why);
    }
  } else if (notRotated_) {  // made smaller meanwhile, by someone else
    notRotated_ = false;
    Tell(Notice::Kind::kRotatedAgain);
  }
  return AppendToFile(path_, std::string(kUtf8ByteOrderMark) + std::string(kRecordHeader), line,
                      reason);
}

std::vector<RecordRow> Record::Read(const QString& path, const QDateTime& from, const QDateTime& to,
                                    const std::set<int>& addresses) {
  return Read(path, RecordQuery{from, to, addresses, {}});
}

std::vector<RecordRow> Record::Read(const QString& path, const RecordQuery& query,
                                    QString* problem) {
  std::vector<RecordRow> rows;
  const ReadReport report =
      ReadRecordRows(path, query, [&rows](RecordRow&& row) { rows.push_back(std::move(row)); });
  if (problem != nullptr && problem->isEmpty()) *problem = report.problem;
  return rows;
}

}  // namespace karvello
