#include "record/record_format.h"

#include <QString>
#include <algorithm>
#include <charconv>
#include <cstdint>

#include "framing/frame_text.h"
#include "present/times.h"
#include "record/csv.h"

namespace karvello {
namespace {

constexpr std::size_t kFieldCount = 10;

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

// A whole number of at most 9 digits, as the record writes an address.
std::optional<int> AddressOf(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  const int number = Digits(text, 0, text.size());
  if (number < 0) return std::nullopt;
  return number;
}

// Bytes as HexText writes them, "05 03 02", appended to `bytes` (when given); false when the
// text is not such.
bool BytesOf(std::string_view text, std::vector<std::uint8_t>* bytes) {
  for (std::size_t i = 0; i < text.size(); i += 3) {
    if (i + 2 > text.size() || (i + 2 < text.size() && text[i + 2] != ' ')) return false;
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    if (bytes != nullptr) bytes->push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

// The frames sent, joined by " | ", appended to `frames` (when given).
bool FramesOf(std::string_view text, std::vector<std::vector<std::uint8_t>>* frames) {
  while (!text.empty()) {
    const std::size_t bar = text.find(" | ");
    const std::string_view frame = text.substr(0, bar);
    if (frame.empty() || !BytesOf(frame, frames ? &frames->emplace_back() : nullptr)) return false;
    if (bar == std::string_view::npos) break;
    text.remove_prefix(bar + 3);
    if (text.empty()) return false;
  }
  return true;
}

// Whether the text at `at` is the header's line.
bool IsHeader(std::string_view text, std::size_t at) {
  return text.substr(at, kRecordHeader.size() - 2) ==
         kRecordHeader.substr(0, kRecordHeader.size() - 2);
}

}  // namespace

bool BeginsWithRowTime(std::string_view line) {
  return BeginsWithTime(line);
}

std::string CsvLine(const RecordRow& row) {
  return CsvLine({TimeText(row.time), row.port, std::to_string(row.address), OperationText(row),
                  ResultText(row), ValueText(row), UnitText(row), row.again ? "yes" : "",
                  SentText(row), HexText(row.reply)},
                 "\r\n");
}

std::string ExportLine(const RecordRow& row) {
  RecordRow shown = row;
  shown.port = SpreadsheetText(row.port);
  return CsvLine(shown);
}

RecordParser::RecordParser(const RecordQuery& query)
    : from_(query.from.isValid() ? std::optional(query.from.toMSecsSinceEpoch()) : std::nullopt),
      to_(query.to.isValid() ? std::optional(query.to.toMSecsSinceEpoch()) : std::nullopt),
      latest_((query.now.isValid() ? query.now.toMSecsSinceEpoch()
                                   : QDateTime::currentMSecsSinceEpoch()) +
              std::chrono::milliseconds(kLargestClockSkew).count()),
      addresses_(query.addresses),
      operations_(query.operations) {}

void RecordParser::BeginText() {
  textStart_ = true;
  skipLine_ = false;
}

RecordParser::Taken RecordParser::Take(const CsvReader& fields, const Sink& sink) const {
  if (fields.FieldCount() == 0) return Taken::kNotRow;  // a blank line
  if (fields.FieldCount() != kFieldCount) return Taken::kDamaged;
  const std::optional<RowTime> time = TimeOf(fields.Field(0));
  if (!time || time->msecs > latest_) return Taken::kDamaged;
  const std::optional<int> address = AddressOf(fields.Field(2));
  if (!address) return Taken::kDamaged;
  RecordRow row;
  row.address = *address;
  const std::string_view operation = fields.Field(3);
  const std::string_view result = fields.Field(4);
  if (operation == kAlarmOperation || operation == kNoAnswerOperation) {
    row.kind = RecordRow::Kind::kAlarm;
    row.alarmKind =
        operation == kAlarmOperation ? AlarmKind::kResistanceLimit : AlarmKind::kNoAnswer;
    row.operation = Operation::kQueryResistance;
    if (result != kAlarmRaised && result != kAlarmCleared) return Taken::kDamaged;
    row.raised = result == kAlarmRaised;
  } else if (operation == kSetAsideOperation) {
    row.kind = RecordRow::Kind::kSetAside;
    row.operation = Operation::kQueryResistance;
    if (result != kSetAsideBegun && result != kSetAsideEnded) return Taken::kDamaged;
    row.raised = result == kSetAsideBegun;
  } else {
    const std::optional<Operation> known = OperationNamed(operation);
    const std::optional<Result> outcome = ResultNamed(result);
    if (!known || !outcome) return Taken::kDamaged;
    row.operation = *known;
    row.result = *outcome;
  }
  if (!fields.Field(5).empty()) {
    row.value = ReadingOf(fields.Field(5));
    if (!row.value) return Taken::kDamaged;
  }
  const std::string_view again = fields.Field(7);
  if (!again.empty() && again != "yes") return Taken::kDamaged;
  row.again = !again.empty();
  if (!Consistent(row)) return Taken::kDamaged;
  // Asked for? Checked before the frames, which most rows left out need not have read.
  if ((from_ && time->msecs < *from_) || (to_ && time->msecs > *to_) ||
      (!addresses_.empty() && !addresses_.contains(row.address)) ||
      (!operations_.empty() &&
       (row.kind != RecordRow::Kind::kOutcome || !operations_.contains(row.operation)))) {
    return FramesOf(fields.Field(8), nullptr) && BytesOf(fields.Field(9), nullptr)
               ? Taken::kNotAsked
               : Taken::kDamaged;
  }
  if (!FramesOf(fields.Field(8), &row.sent) || !BytesOf(fields.Field(9), &row.reply)) {
    return Taken::kDamaged;
  }
  row.time = time->parsed.isValid()
                 ? time->parsed
                 : QDateTime::fromMSecsSinceEpoch(time->msecs, Qt::OffsetFromUTC, time->offset);
  row.port = fields.Field(1);
  sink(std::move(row));
  return Taken::kRow;
}

std::size_t RecordParser::Parse(std::string_view text, bool more, const Sink& sink) {
  std::size_t pos = 0;
  if (textStart_) {
    if (text.size() < kUtf8ByteOrderMark.size() && more && kUtf8ByteOrderMark.starts_with(text)) {
      return 0;  // the mark itself not yet whole
    }
    if (text.starts_with(kUtf8ByteOrderMark)) pos = kUtf8ByteOrderMark.size();
    textStart_ = false;
  }
  CsvReader reader(text, BeginsWithTime);
  if (skipLine_) {  // the rest of a line given up in the text before
    const std::size_t end = FindLineEnd(text, pos);
    if (end == std::string_view::npos) return text.size();
    skipLine_ = false;
    pos = end;
    pos = reader.LineAfter(pos);
    if (pos == std::string_view::npos) return text.size();
  }
  while (pos < text.size()) {
    const std::size_t start = pos;
    // A quoted field read whole, whatever its line ends are followed by, when that makes a row;
    // else (a quote left open by a row cut short) up to a line that begins with a time.
    if (reader.Next(pos, true, start + kLongestRow)) {
      const Taken taken = Take(reader, sink);
      if (taken != Taken::kDamaged) continue;
    } else if (more && reader.RanOut() && text.size() - start <= kLongestRow) {
      return start;  // a row not yet whole: read on with more text
    }
    pos = start;
    if (reader.Next(pos)) {
      const Taken taken = Take(reader, sink);
      if (taken != Taken::kDamaged) continue;
      // A whole line, but no row: only its first line is given up.
      pos = start;
    } else if (more && reader.RanOut() && text.size() - start <= kLongestRow) {
      return start;  // read as the whole text would be, once the rest has come
    }
    std::size_t next = reader.LineAfter(start);
    if (next == std::string_view::npos) {
      if (!more && text.size() - start <= kLongestRow) break;  // the last line: being written
      // A line longer than any row, its end not yet read: given up up to its end.
      ++damaged_;
      skipLine_ = more;
      return text.size();
    }
    const bool header = IsHeader(text, start);
    if (!header) ++damaged_;
    // A row that an older writer appended straight after a row cut short, on the same line.
    for (std::size_t at = start + 1; at < next; ++at) {
      if (!BeginsWithTime(text.substr(at))) continue;
      std::size_t after = at;
      if (!reader.Next(after)) {
        if (more && reader.RanOut() && text.size() - start <= kLongestRow) {
          if (!header) --damaged_;
          return start;  // read as the whole text would be, once the rest has come
        }
        continue;
      }
      const Taken taken = Take(reader, sink);
      if (taken == Taken::kRow || taken == Taken::kNotAsked) {
        next = std::max(next, after);
        break;
      }
    }
    pos = next;
  }
  return text.size();
}

std::vector<RecordRow> ParseRecord(std::string_view text, const RecordQuery& query) {
  std::vector<RecordRow> rows;
  RecordParser parser(query);
  parser.Parse(text, false, [&rows](RecordRow&& row) { rows.push_back(std::move(row)); });
  return rows;
}

}  // namespace karvello
