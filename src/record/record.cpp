#include "record/record.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <chrono>

#include "framing/frame_text.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace karvello {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kFieldCount = 10;
// A program that holds the lock holds it for one row; one that waits longer than this gives up
// the row rather than hold up its window.
constexpr std::chrono::milliseconds kLockWait{2000};

// The number with the point before its last `decimals` digits: 345 and 1 give "34.5".
std::string WithPoint(unsigned number, unsigned decimals) {
  std::string digits = std::to_string(number);
  if (decimals == 0) return digits;
  if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
  digits.insert(digits.size() - decimals, 1, '.');
  return digits;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  return FormatFrameText(bytes, bytes.size());
}

void AddField(std::string& line, std::string_view field) {
  if (!line.empty()) line += ',';
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    line += field;
    return;
  }
  line += '"';
  for (const char c : field) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

// The records of CSV text (RFC 4180: quoted fields may hold commas, quotes doubled and line
// ends; lines end by CR LF or LF).
std::vector<std::vector<std::string>> SplitCsv(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  bool any = false;  // the record under way has begun
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
      continue;
    }
    if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
      any = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      if (any || !field.empty()) {
        fields.push_back(std::move(field));
        records.push_back(std::move(fields));
      }
      fields.clear();
      field.clear();
      any = false;
    } else {
      field += c;
      any = true;
    }
  }
  // A last line without its line end is a row cut short as it was written: left out.
  return records;
}

std::optional<RecordRow> RowOfFields(const std::vector<std::string>& fields) {
  if (fields.size() != kFieldCount) return std::nullopt;
  RecordRow row;
  row.time = QDateTime::fromString(QString::fromStdString(fields[0]), Qt::ISODateWithMs);
  if (!row.time.isValid()) return std::nullopt;  // the header, or a damaged row
  bool number = false;
  row.address = QString::fromStdString(fields[2]).toInt(&number);
  if (!number) return std::nullopt;
  row.port = fields[1];
  row.operation = fields[3];
  row.result = fields[4];
  row.value = fields[5];
  row.unit = fields[6];
  row.again = fields[7] == "yes";
  row.sent = fields[8];
  row.reply = fields[9];
  return row;
}

// An exclusive lock on a file of its own beside the record, held while this lives. Unlike the
// record itself, that file is never renamed, so a program that waited for it finds the record
// that is current when it gets it.
class FileLock {
 public:
  explicit FileLock(const QString& path) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
#ifdef Q_OS_WIN
    handle_ =
        CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      error_ = qt_error_string(static_cast<int>(GetLastError()));
      return;
    }
    OVERLAPPED whole{};
    while (!(held_ = LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                                0, &whole) != 0)) {
      if (std::chrono::steady_clock::now() > deadline) break;
      QThread::msleep(1);
    }
#else
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      error_ = qt_error_string(errno);
      return;
    }
    while (!(held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0)) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
        break;
      }
      QThread::msleep(1);
    }
#endif
    if (!held_ && error_.isEmpty()) {
      error_ =
          QStringLiteral("another program held %1 for over %2 ms").arg(path).arg(kLockWait.count());
    }
  }
  ~FileLock() {
#ifdef Q_OS_WIN
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);  // and with it the lock
#else
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const {
    return held_;
  }
  const QString& Error() const {
    return error_;
  }

 private:
#ifdef Q_OS_WIN
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
  bool held_ = false;
  QString error_;
};

// Appends `bytes` to the file in one write and brings them to the disk. A write that fails
// part-way is taken back, so that the file never holds part of a row.
bool AppendBytes(const QString& path, std::string_view bytes, QString& reason) {
#ifdef Q_OS_WIN
  const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reason = qt_error_string(static_cast<int>(GetLastError()));
    return false;
  }
  LARGE_INTEGER end{};
  DWORD written = 0;
  bool done =
      SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END) != 0 &&
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
      written == bytes.size() && FlushFileBuffers(file) != 0;
  if (!done) {
    reason = qt_error_string(static_cast<int>(GetLastError()));
    if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0) SetEndOfFile(file);
  }
  CloseHandle(file);
  return done;
#else
  const int fd =
      ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    reason = qt_error_string(errno);
    return false;
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == bytes.size();
  if (!ok) {
    reason = qt_error_string(errno);
    if (end >= 0 && ::ftruncate(fd, end) != 0) reason += QStringLiteral("; part of a row is left");
  } else if (::fsync(fd) != 0) {
    reason = qt_error_string(errno);
    ok = false;
  }
  ::close(fd);
  return ok;
#endif
}

QString LockPath(const QString& path) {
  return path + QStringLiteral(".lock");
}

}  // namespace

std::string TimeText(const QDateTime& when) {
  const int offset = when.offsetFromUtc();
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return (when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
          QStringLiteral("%1%2:%3")
              .arg(QChar(offset < 0 ? u'-' : u'+'))
              .arg(minutes / 60, 2, 10, QChar(u'0'))
              .arg(minutes % 60, 2, 10, QChar(u'0')))
      .toStdString();
}

std::string_view ResultName(Result result) {
  switch (result) {
    case Result::kAnswered:
      return "answered";
    case Result::kRefused:
      return "refused";
    case Result::kWrongReply:
      return "wrong-reply";
    case Result::kCorrupt:
      return "corrupt";
    case Result::kNoReply:
      return "no-reply";
    case Result::kLineLost:
      return "line-lost";
    case Result::kNotSent:
      return "not-sent";
  }
  return "unknown";
}

RecordRow RowOf(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  RecordRow row;
  row.time = when;
  row.port = port;
  row.address = outcome.address;
  row.operation = Describe(outcome.operation).name;
  row.result = ResultName(outcome.result);
  row.again = outcome.again;
  row.reply = Hex(outcome.reply);
  for (const RequestFrame& frame : outcome.sent) {
    if (!row.sent.empty()) row.sent += " | ";
    row.sent += Hex(frame);
  }
  if (const auto& value = outcome.value) {
    switch (outcome.operation) {
      case Operation::kQueryResistance:
      case Operation::kReadResistance:
        row.value = value->overRange ? "OL" : WithPoint(value->number, value->decimals);
        row.unit = kOhmUnit;
        break;
      case Operation::kQueryVoltage:
        row.value = std::to_string(value->number);
        row.unit = kVoltUnit;
        break;
      case Operation::kSetAddress:
      case Operation::kQueryAddress:
      case Operation::kReadAddress:
        row.value = std::to_string(value->number);
        break;
      case Operation::kStartMeasurement:  // the echo of the start carries no reading
        break;
    }
  }
  return row;
}

std::string CsvLine(const RecordRow& row) {
  std::string line;
  AddField(line, TimeText(row.time));
  for (const std::string& field :
       {row.port, std::to_string(row.address), row.operation, row.result, row.value, row.unit,
        std::string(row.again ? "yes" : ""), row.sent, row.reply}) {
    AddField(line, field);
  }
  return line + "\r\n";
}

std::vector<RecordRow> ParseRecord(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  std::vector<RecordRow> rows;
  for (const auto& fields : SplitCsv(text)) {
    if (auto row = RowOfFields(fields)) rows.push_back(std::move(*row));
  }
  return rows;
}

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
    : path_(std::move(path)), sizeLimit_(sizeLimit) {}

bool Record::Append(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  return Append(RowOf(outcome, port, when));
}

bool Record::Append(const RecordRow& row) {
  QString reason;
  if (Write(CsvLine(row), reason)) return true;
  if (!failed_ && onFailure_) onFailure_(path_, reason);
  failed_ = true;
  return false;
}

QString Record::OldFilePath(const QString& path, int n) {
  const QFileInfo info(path);
  const QString suffix = info.suffix();
  const QString numbered = QStringLiteral(".%1").arg(n);
  if (suffix.isEmpty()) return path + numbered;
  return path.left(path.size() - suffix.size() - 1) + numbered + u'.' + suffix;
}

bool Record::Write(const std::string& line, QString& reason) {
  QDir().mkpath(QFileInfo(path_).absolutePath());  // its failure shows as the lock's
  const FileLock lock(LockPath(path_));
  if (!lock.Held()) {
    reason = lock.Error();
    return false;
  }
  std::int64_t size = QFileInfo(path_).size();  // 0 when there is no file
  if (size > 0 && size + static_cast<std::int64_t>(line.size()) > sizeLimit_) {
    QFile::remove(OldFilePath(path_, kKeptOldFiles));
    for (int n = kKeptOldFiles - 1; n >= 1; --n) {
      QFile::rename(OldFilePath(path_, n), OldFilePath(path_, n + 1));
    }
    if (!QFile::rename(path_, OldFilePath(path_, 1))) {
      reason = QStringLiteral("cannot rename %1 to %2").arg(path_, OldFilePath(path_, 1));
      return false;
    }
    size = 0;
  }
  std::string bytes;
  if (size == 0) bytes = std::string(kByteOrderMark) + std::string(kRecordHeader);
  bytes += line;
  return AppendBytes(path_, bytes, reason);
}

std::vector<RecordRow> Record::Read(const QString& path, const QDateTime& from, const QDateTime& to,
                                    const std::set<int>& addresses) {
  // Under the lock, so that no row is read half written and no file is set aside meanwhile; a
  // record that cannot be locked (a read-only folder) is read as it is.
  const FileLock lock(LockPath(path));
  std::vector<RecordRow> rows;
  for (int n = kKeptOldFiles; n >= 0; --n) {
    QFile file(n == 0 ? path : OldFilePath(path, n));
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QByteArray text = file.readAll();
    for (RecordRow& row : ParseRecord(std::string_view(text.constData(), text.size()))) {
      if (from.isValid() && row.time < from) continue;
      if (to.isValid() && row.time > to) continue;
      if (!addresses.empty() && !addresses.contains(row.address)) continue;
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

}  // namespace karvello
