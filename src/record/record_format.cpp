#include "record/record_format.h"

#include <QString>
#include <algorithm>
#include <charconv>
#include <cstdint>

#include "framing/frame_text.h"
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

}  // namespace

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

RecordParser::RecordParser(const RecordQuery& query)
    : from_(query.from.isValid() ? std::optional(query.from.toMSecsSinceEpoch()) : std::nullopt),
      to_(query.to.isValid() ? std::optional(query.to.toMSecsSinceEpoch()) : std::nullopt),
      addresses_(query.addresses) {
  for (const Operation operation : query.operations) {
    operations_.push_back(Describe(operation).name);
  }
}

bool RecordParser::Take(const CsvReader& fields, std::vector<RecordRow>& rows) const {
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

void RecordParser::AppendRows(std::string_view text, std::vector<RecordRow>& rows) const {
  if (text.starts_with(kUtf8ByteOrderMark)) text.remove_prefix(kUtf8ByteOrderMark.size());
  CsvReader reader(text, BeginsWithTime);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    if (reader.Next(pos) && Take(reader, rows)) continue;
    // Not a whole row (or the header): only its first line is given up.
    pos = reader.LineAfter(start);
    if (pos == std::string_view::npos) break;  // the last line, cut short or being written
    // A row that an older writer appended straight after a row cut short, on the same line.
    for (std::size_t at = start + 1; at < pos; ++at) {
      std::size_t after = at;
      if (BeginsWithTime(text.substr(at)) && reader.Next(after) && Take(reader, rows)) {
        pos = std::max(pos, after);
        break;
      }
    }
  }
}

std::vector<RecordRow> ParseRecord(std::string_view text, const RecordQuery& query) {
  std::vector<RecordRow> rows;
  RecordParser(query).AppendRows(text, rows);
  return rows;
}

}  // namespace karvello
