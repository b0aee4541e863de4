#include "record/record.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <optional>

#include "framing/frame_text.h"
#include "record/csv.h"
#include "record/record_files.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace karvello {
namespace {

constexpr std::size_t kFieldCount = 10;
// A program that holds the lock holds it for one row; one that waits longer than this gives up
// the row rather than hold up its window.
constexpr std::chrono::milliseconds kLockWait{2000};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The number that `count` digits at `text[at]` spell; -1 when one is not a digit.
int Digits(std::string_view text, std::size_t at, std::size_t count) {
  int number = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!IsDigit(text[i])) return -1;
    number = number * 10 + (text[i] - '0');
  }
  return number;
}

// Whether `line` begins with a time as TimeText writes it, to the second: "2026-12-07T18:04:06".
bool BeginsWithTime(std::string_view line) {
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  if (line.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == 'd' ? !IsDigit(line[i]) : line[i] != kShape[i]) return false;
  }
  return true;
}

// Days from 1970-01-01 to the date (proleptic Gregorian), after H. Hinnant's days_from_civil.
std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yearOfEra = year - era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

int DaysInMonth(int year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// A row's time: the instant, and the offset from UTC it was written with.
struct RowTime {
  qint64 msecs = 0;
  int offset = 0;
  QDateTime parsed;  // when Qt's parser read it (a time not in the record's own form)
};

// The time as TimeText writes it, "2026-12-07T18:04:06.123+08:00", read by hand: Qt's ISO
// parser would take most of the time of reading a full record. Any other form is left to Qt.
std::optional<RowTime> TimeOf(std::string_view text) {
  if (text.size() == 29 && BeginsWithTime(text) && text[19] == '.' &&
      (text[23] == '+' || text[23] == '-') && text[26] == ':') {
    const int year = Digits(text, 0, 4);
    const int month = Digits(text, 5, 2);
    const int day = Digits(text, 8, 2);
    const int hour = Digits(text, 11, 2);
    const int minute = Digits(text, 14, 2);
    const int second = Digits(text, 17, 2);
    const int milli = Digits(text, 20, 3);
    const int offsetHours = Digits(text, 24, 2);
    const int offsetMinutes = Digits(text, 27, 2);
    if (year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month) &&
        hour < 24 && minute < 60 && second < 60 && milli >= 0 && offsetMinutes >= 0 &&
        offsetMinutes < 60 && offsetHours >= 0 && offsetHours * 60 + offsetMinutes <= 14 * 60) {
      const int offset = (text[23] == '-' ? -60 : 60) * (offsetHours * 60 + offsetMinutes);
      const std::int64_t seconds =
          ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60 + second - offset;
      return RowTime{seconds * 1000 + milli, offset, {}};
    }
  }
  QDateTime parsed = QDateTime::fromString(
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), Qt::ISODateWithMs);
  if (!parsed.isValid()) return std::nullopt;  // the header, or a damaged row
  return RowTime{parsed.toMSecsSinceEpoch(), parsed.offsetFromUtc(), std::move(parsed)};
}

std::optional<int> AddressOf(std::string_view text) {
  if (!text.empty() && text.size() <= 9 && Digits(text, 0, text.size()) >= 0) {
    return Digits(text, 0, text.size());
  }
  bool number = false;
  const int address =
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toInt(&number);
  if (!number) return std::nullopt;
  return address;
}

// The query with its bounds as instants, and its operations by the names rows carry.
class RowFilter {
 public:
  explicit RowFilter(const RecordQuery& query)
      : from_(query.from.isValid() ? std::optional(query.from.toMSecsSinceEpoch()) : std::nullopt),
        to_(query.to.isValid() ? std::optional(query.to.toMSecsSinceEpoch()) : std::nullopt),
        addresses_(query.addresses) {
    for (const Operation operation : query.operations) {
      operations_.push_back(Describe(operation).name);
    }
  }

  // Whether the reader's fields are a whole record row; if so, and the query asks for it, it is
  // appended to `rows`, made only then.
  bool Take(const CsvReader& fields, std::vector<RecordRow>& rows) const {
    if (fields.FieldCount() != kFieldCount) return false;
    const std::optional<RowTime> time = TimeOf(fields.Field(0));
    if (!time) return false;  // the header, or a damaged row
    const std::optional<int> address = AddressOf(fields.Field(2));
    if (!address) return false;
    if ((from_ && time->msecs < *from_) || (to_ && time->msecs > *to_)) return true;
    if (!addresses_.empty() && !addresses_.contains(*address)) return true;
    if (!operations_.empty() &&
        std::find(operations_.begin(), operations_.end(), fields.Field(3)) == operations_.end()) {
      return true;
    }
    RecordRow& row = rows.emplace_back();
    row.time = time->parsed.isValid()
                   ? time->parsed
                   : QDateTime::fromMSecsSinceEpoch(time->msecs, Qt::OffsetFromUTC, time->offset);
    row.address = *address;
    row.port = fields.Field(1);
    row.operation = fields.Field(3);
    row.result = fields.Field(4);
    row.value = fields.Field(5);
    row.unit = fields.Field(6);
    row.again = fields.Field(7) == "yes";
    row.sent = fields.Field(8);
    row.reply = fields.Field(9);
    return true;
  }

 private:
  std::optional<qint64> from_;
  std::optional<qint64> to_;
  const std::set<int>& addresses_;
  std::vector<std::string_view> operations_;
};

// Appends the rows of `text` that `filter` lets through to `rows` (see ParseRecord).
void ParseInto(std::string_view text, const RowFilter& filter, std::vector<RecordRow>& rows) {
  if (text.starts_with(kUtf8ByteOrderMark)) text.remove_prefix(kUtf8ByteOrderMark.size());
  CsvReader reader(text, BeginsWithTime);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    if (reader.Next(pos) && filter.Take(reader, rows)) continue;
    // Not a whole row (or the header): only its first line is given up.
    pos = reader.LineAfter(start);
    if (pos == std::string_view::npos) break;  // the last line, cut short or being written
    // A row that an older writer appended straight after a row cut short, on the same line.
    for (std::size_t at = start + 1; at < pos; ++at) {
      std::size_t after = at;
      if (BeginsWithTime(text.substr(at)) && reader.Next(after) && filter.Take(reader, rows)) {
        pos = std::max(pos, after);
        break;
      }
    }
  }
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
    fd_ = ::open(QFile::encodeName(path).constData(),
                 O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
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

QString NotRegular() {
  return QStringLiteral("not a regular file");
}

// Appends `line` to the file in one write and brings it to the disk: after the BOM and the header
// when the file is empty, after a line end when its last byte is not one (a row cut short by a
// crash). A write that fails part-way is taken back, so that the file never holds part of a
// row. Anything but a regular file is refused without waiting for it (a FIFO would block).
bool AppendLine(const QString& path, std::string_view line, QString& reason) {
  std::string bytes;
  const auto lead = [&](std::int64_t size, char last) {
    if (size == 0) bytes = std::string(kUtf8ByteOrderMark) + std::string(kRecordHeader);
    if (size > 0 && last != '\n') bytes = "\r\n";
    bytes += line;
  };
#ifdef Q_OS_WIN
  const HANDLE file =
      CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reason = qt_error_string(static_cast<int>(GetLastError()));
    return false;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    reason = NotRegular();
    CloseHandle(file);
    return false;
  }
  LARGE_INTEGER end{};
  char last = '\n';
  DWORD got = 0;
  bool done = GetFileSizeEx(file, &end) != 0;
  if (done && end.QuadPart > 0) {
    LARGE_INTEGER before{};
    before.QuadPart = end.QuadPart - 1;
    done = SetFilePointerEx(file, before, nullptr, FILE_BEGIN) != 0 &&
           ::ReadFile(file, &last, 1, &got, nullptr) != 0 && got == 1;
  }
  if (done) lead(end.QuadPart, last);
  DWORD written = 0;
  done = done && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0 &&
         WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
         written == bytes.size() && FlushFileBuffers(file) != 0;
  if (!done) {
    reason = qt_error_string(static_cast<int>(GetLastError()));
    if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0) SetEndOfFile(file);
  }
  CloseHandle(file);
  return done;
#else
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) {
    reason = qt_error_string(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    reason = S_ISREG(status.st_mode) ? qt_error_string(errno) : NotRegular();
    ::close(fd);
    return false;
  }
  const off_t end = status.st_size;
  char last = '\n';
  if (end > 0 && ::pread(fd, &last, 1, end - 1) != 1) {
    reason = qt_error_string(errno);
    ::close(fd);
    return false;
  }
  lead(end, last);
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
    if (::ftruncate(fd, end) != 0) reason += QStringLiteral("; part of a row is left");
  } else if (::fsync(fd) != 0) {
    reason = qt_error_string(errno);
    ok = false;
  }
  ::close(fd);
  return ok;
#endif
}

// A file of the record opened for reading: without waiting for it (a FIFO is refused, not
// waited on), and letting writers append to it and rename or delete it meanwhile.
class FileForReading {
 public:
  // Opens `path`; an absent file is no problem.
  FileForReading(const QString& path, QString* problem) {
#ifdef Q_OS_WIN
    handle_ = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        Say(problem, path, qt_error_string(static_cast<int>(error)));
      }
    } else if (GetFileType(handle_) != FILE_TYPE_DISK) {
      Say(problem, path, NotRegular());
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
#else
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat status {};
    if (fd_ < 0) {
      if (errno != ENOENT) Say(problem, path, qt_error_string(errno));
    } else if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
      Say(problem, path, S_ISREG(status.st_mode) ? qt_error_string(errno) : NotRegular());
      ::close(fd_);
      fd_ = -1;
    } else {
      size_ = status.st_size;
    }
#endif
  }
  ~FileForReading() {
#ifdef Q_OS_WIN
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
#else
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  FileForReading(const FileForReading&) = delete;
  FileForReading& operator=(const FileForReading&) = delete;

  // Memory to read into, left as it is when it grows: clearing would cost as much as reading.
  struct Buffer {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    void Grow(std::size_t size, std::size_t kept) {
      std::unique_ptr<char[]> more(new char[size]);
      std::copy(bytes.get(), bytes.get() + kept, more.get());
      bytes = std::move(more);
      this->size = size;
    }
  };

  // The file from its start to where it ends now, in `buffer`: one for every file, so that
  // fresh memory is touched once only (on some machines that costs more than the reading).
  std::string_view ReadAll(Buffer& buffer) {
#ifdef Q_OS_WIN
    if (handle_ == INVALID_HANDLE_VALUE ||
        SetFilePointerEx(handle_, {}, nullptr, FILE_BEGIN) == 0) {
      return {};
    }
#else
    if (fd_ < 0) return {};
#endif
    const std::size_t expected = static_cast<std::size_t>(size_) + 65536;
    if (buffer.size < expected) buffer.Grow(expected, 0);
    std::size_t got = 0;
    for (;;) {
      if (got == buffer.size) buffer.Grow(2 * buffer.size, got);
#ifdef Q_OS_WIN
      DWORD n = 0;
      const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(buffer.size - got, 1U << 30));
      if (::ReadFile(handle_, buffer.bytes.get() + got, ask, &n, nullptr) == 0 || n == 0) break;
#else
      const ssize_t n =
          ::pread(fd_, buffer.bytes.get() + got, buffer.size - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
#endif
      got += static_cast<std::size_t>(n);
    }
    return {buffer.bytes.get(), got};
  }

 private:
  static void Say(QString* problem, const QString& path, const QString& why) {
    if (problem != nullptr && problem->isEmpty()) *problem = path + QStringLiteral(": ") + why;
  }

#ifdef Q_OS_WIN
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
  std::int64_t size_ = 0;
};

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

std::optional<Reading> ReadingOf(std::string_view field) {
  if (field == kOverRangeMark) return Reading{0, 0, true};
  std::string digits;
  unsigned decimals = 0;
  const std::size_t point = field.find('.');
  if (point == std::string_view::npos) {
    digits = std::string(field);
  } else {
    digits = std::string(field.substr(0, point)) + std::string(field.substr(point + 1));
    decimals = static_cast<unsigned>(field.size() - point - 1);
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return Reading{number, decimals, false};
}

RecordRow RowOf(const Outcome& outcome, const std::string& port, const QDateTime& when) {
  RecordRow row;
  row.time = when;
  row.port = port;
  row.address = outcome.address;
  row.operation = Describe(outcome.operation).name;
  row.result = ResultName(outcome.result);
  row.again = outcome.again;
  row.reply = HexText(outcome.reply);
  for (const auto& frame : outcome.sent) {
    if (!row.sent.empty()) row.sent += " | ";
    row.sent += HexText(frame);
  }
  row.value = ValueField(outcome);
  if (!row.value.empty()) row.unit = AnswerForm(outcome.operation).unit;
  return row;
}

std::string CsvLine(const RecordRow& row) {
  return CsvLine({TimeText(row.time), row.port, std::to_string(row.address), row.operation,
                  row.result, row.value, row.unit, row.again ? "yes" : "", row.sent, row.reply},
                 "\r\n");
}

std::vector<RecordRow> ParseRecord(std::string_view text, const RecordQuery& query) {
  std::vector<RecordRow> rows;
  ParseInto(text, RowFilter(query), rows);
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
  const FileLock lock(LockPath(path_));
  if (!lock.Held()) {
    reason = lock.Error();
    return false;
  }
  const QFileInfo info(path_);
  if (info.exists() && !info.isFile()) {  // never renamed, nor opened for writing
    reason = NotRegular();
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
  return AppendLine(path_, line, reason);
}

std::vector<RecordRow> Record::Read(const QString& path, const QDateTime& from, const QDateTime& to,
                                    const std::set<int>& addresses) {
  return Read(path, RecordQuery{from, to, addresses, {}});
}

std::vector<RecordRow> Record::Read(const QString& path, const RecordQuery& query,
                                    QString* problem) {
  // Opened under the lock, so that no file is set aside midway, and read after it: a writer
  // waits for the opening only. What was appended to a file by then is whole rows, and a row
  // being appended as it is read is left out as cut short. A record that cannot be locked (a
  // read-only folder) is read as it is.
  std::vector<std::unique_ptr<FileForReading>> files;
  {
    const FileLock lock(LockPath(path));
    // The one past the kept ones is there only while a rotation is cut short: its rows are kept.
    for (int n = kKeptOldFiles + 1; n >= 0; --n) {
      files.push_back(
          std::make_unique<FileForReading>(n == 0 ? path : OldFilePath(path, n), problem));
    }
  }
  // Read twice: first to count the lines, to make room for a row on every line, so that the
  // rows are never moved as they come; then to take the rows.
  FileForReading::Buffer buffer;
  std::size_t lines = 0;
  for (const auto& file : files) {
    const std::string_view text = file->ReadAll(buffer);
    lines += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  std::vector<RecordRow> rows;
  rows.reserve(lines);
  const RowFilter filter(query);
  for (const auto& file : files) ParseInto(file->ReadAll(buffer), filter, rows);
  if (rows.size() < rows.capacity() / 2) rows.shrink_to_fit();  // most were not asked for
  return rows;
}

}  // namespace karvello
