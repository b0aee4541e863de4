#include "record/record_read.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "record/csv.h"
#include "record/record.h"
#include "record/record_file.h"

namespace karvello {
namespace {

// Read at a time: large enough that a read costs little per row, small beside any memory.
constexpr std::size_t kChunk = 1024 * 1024;
// Read at a time from the end back, where the rows wanted are mostly near.
constexpr std::size_t kBackChunk = 64 * 1024;

// The record's files, oldest first, opened under the writers' lock so that none is set aside
// between two openings. A record that cannot be locked (a read-only folder) is read as it is.
std::vector<std::unique_ptr<FileForReading>> OpenFiles(const QString& path, QString* problem) {
  std::vector<std::unique_ptr<FileForReading>> files;
  const FileLock lock(Record::LockPath(path), Record::kLockWait);
  // The one past the kept ones is there only while a rotation is cut short: its rows are kept.
  for (int n = Record::kKeptOldFiles + 1; n >= 0; --n) {
    files.push_back(std::make_unique<FileForReading>(
        n == 0 ? path : Record::OldFilePath(path, n), problem));
  }
  return files;
}

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// Reads one file from its end back, a line-started stretch at a time.
class BackReader {
 public:
  BackReader(FileForReading& file, RecordParser& parser, std::int64_t& budget)
      : file_(file), parser_(parser), budget_(budget), low_(file.Size()), end_(file.Size()) {}

  // Gives `visit` the file's rows newest first; false when `visit` or the budget ended reading.
  bool Read(const BackVisitor& visit) {
    // A last line without its line end is a row being written, or cut short: left out.
    if (!DropLastLine()) return budget_ > 0;
    std::vector<RecordRow> rows;
    while (end_ > 0) {
      const std::int64_t start = LastRowStart();
      if (start < 0) {  // none in what is held: read further back, or give up a run too long
        if (low_ == 0) break;  // the file's start (the header), or no row at all
        if (end_ - low_ > static_cast<std::int64_t>(kLongestRow)) GiveUpRun();
        if (!More()) return false;
        continue;
      }
      // The stretch from there to the end is one row, or a row and damaged lines after it.
      rows.clear();
      parser_.BeginText();
      parser_.Parse(Held(start, end_), false,
                    [&rows](RecordRow&& row) { rows.push_back(std::move(row)); });
      end_ = start;
      held_.resize(static_cast<std::size_t>(end_ - low_));
      for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        if (!visit(std::move(*row))) return false;
      }
    }
    return true;
  }

 private:
  std::string_view Held(std::int64_t from, std::int64_t to) const {
    return std::string_view(held_).substr(static_cast<std::size_t>(from - low_),
                                          static_cast<std::size_t>(to - from));
  }

  // Reads the chunk before what is held; false when the budget is spent or the file cannot be
  // read there.
  bool More() {
    if (budget_ <= 0) return false;
    const std::int64_t from = std::max<std::int64_t>(0, low_ - static_cast<std::int64_t>(kBackChunk));
    std::string chunk(static_cast<std::size_t>(low_ - from), '\0');
    std::size_t got = 0;
    while (got < chunk.size()) {
      const std::size_t n = file_.ReadAt(chunk.data() + got, chunk.size() - got,
                                         from + static_cast<std::int64_t>(got));
      if (n == 0) return false;
      got += n;
    }
    budget_ -= static_cast<std::int64_t>(chunk.size());
    held_.insert(0, chunk);
    low_ = from;
    return true;
  }

  bool DropLastLine() {
    for (;;) {
      for (std::int64_t at = end_; at > low_; --at) {
        if (IsLineEnd(held_[static_cast<std::size_t>(at - 1 - low_)])) {
          end_ = at;
          held_.resize(static_cast<std::size_t>(end_ - low_));
          return true;
        }
      }
      if (low_ == 0) return false;
      if (end_ - low_ > static_cast<std::int64_t>(kLongestRow)) GiveUpRun();
      if (!More()) return false;
    }
  }

  // Where the last line held that begins with a time begins, before end_; -1 for none.
  std::int64_t LastRowStart() const {
    for (std::int64_t at = end_ - 1; at >= low_; --at) {
      const bool lineStart =
          at == 0 || (at > low_ && IsLineEnd(held_[static_cast<std::size_t>(at - 1 - low_)]));
      if (!lineStart) continue;
      std::string_view line = Held(at, end_);
      if (at == 0 && line.starts_with(kUtf8ByteOrderMark)) {
        line.remove_prefix(kUtf8ByteOrderMark.size());
      }
      if (BeginsWithRowTime(line)) return at;
    }
    return -1;
  }

  // What is held has no row within kLongestRow: it is damaged, and let go of up to its first
  // line start (all of it when it has none), so that memory stays bounded.
  void GiveUpRun() {
    std::int64_t cut = low_;
    for (std::int64_t at = low_ + 1; at < end_; ++at) {
      if (IsLineEnd(held_[static_cast<std::size_t>(at - 1 - low_)]) &&
          !IsLineEnd(held_[static_cast<std::size_t>(at - low_)])) {
        cut = at;
        break;
      }
    }
    end_ = cut;
    held_.resize(static_cast<std::size_t>(end_ - low_));
    ++damaged_;
  }

  FileForReading& file_;
  RecordParser& parser_;
  std::int64_t& budget_;
  std::int64_t low_;  // held_ holds the file's bytes from low_ to end_
  std::int64_t end_;
  std::string held_;
  std::int64_t damaged_ = 0;

 public:
  std::int64_t Damaged() const { return damaged_; }
};

}  // namespace

ReadReport ReadRecordRows(const QString& path, const RecordQuery& query,
                          const RecordParser::Sink& sink) {
  ReadReport report;
  const auto files = OpenFiles(path, &report.problem);
  RecordParser parser(query);
  std::string text;
  for (const auto& file : files) {
    parser.BeginText();
    text.clear();
    std::int64_t at = 0;
    for (;;) {
      const std::size_t kept = text.size();
      text.resize(kept + kChunk);
      const std::size_t n = file->ReadAt(text.data() + kept, kChunk, at);
      text.resize(kept + n);
      at += static_cast<std::int64_t>(n);
      const bool more = n > 0;
      const std::size_t read = parser.Parse(text, more, sink);
      if (!more) break;
      text.erase(0, read);
    }
  }
  report.damaged = parser.Damaged();
  return report;
}

RecordStream::RecordStream(const QString& path, const RecordQuery& query)
    : files_(OpenFiles(path, &problem_)), parser_(query) {}

RecordStream::~RecordStream() = default;

bool RecordStream::Next(RecordRow& row) {
  while (rows_.empty()) {
    if (file_ >= files_.size()) return false;
    if (!begun_) {
      parser_.BeginText();
      text_.clear();
      at_ = 0;
      begun_ = true;
    }
    const std::size_t kept = text_.size();
    text_.resize(kept + kChunk);
    const std::size_t n = files_[file_]->ReadAt(text_.data() + kept, kChunk, at_);
    text_.resize(kept + n);
    at_ += static_cast<std::int64_t>(n);
    const bool more = n > 0;
    const std::size_t read =
        parser_.Parse(text_, more, [this](RecordRow&& parsed) { rows_.push_back(std::move(parsed)); });
    if (more) {
      text_.erase(0, read);
    } else {
      files_[file_].reset();  // read to its end: its descriptor goes
      ++file_;
      begun_ = false;
      text_.clear();
      text_.shrink_to_fit();
    }
  }
  row = std::move(rows_.front());
  rows_.pop_front();
  return true;
}

ReadReport RecordStream::Report() const {
  return {parser_.Damaged(), problem_};
}

ReadReport ReadRecordBack(const QString& path, const RecordQuery& query, const BackVisitor& visit,
                          std::int64_t bound) {
  ReadReport report;
  auto files = OpenFiles(path, &report.problem);
  RecordParser parser(query);
  std::int64_t budget = bound;
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    BackReader reader(**file, parser, budget);
    const bool on = reader.Read(visit);
    report.damaged += reader.Damaged();
    if (!on) break;
  }
  report.damaged += parser.Damaged();
  return report;
}

void TimeOrder::Add(RecordRow&& row) {
  // Mostly it belongs at the end; else after the last row not later than it.
  auto at = held_.end();
  while (at != held_.begin() && std::prev(at)->time > row.time) --at;
  held_.insert(at, std::move(row));
  if (held_.size() > kWindow) {
    sink_(std::move(held_.front()));
    held_.pop_front();
  }
}

void TimeOrder::Flush() {
  for (RecordRow& row : held_) sink_(std::move(row));
  held_.clear();
}

}  // namespace karvello
