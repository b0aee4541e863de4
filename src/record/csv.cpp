#include "record/csv.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace karvello {
namespace {

template <typename Fields>
std::string Join(const Fields& fields, std::string_view lineEnd) {
  std::string line;
  bool first = true;
  for (std::string_view field : fields) {
    if (!first) line += ',';
    first = false;
    line += CsvField(field);
  }
  line += lineEnd;
  return line;
}

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// The characters that end a run of an unquoted field, looked up rather than compared four times
// for each character of a long record.
constexpr std::array<bool, 256> kEndsRun = [] {
  std::array<bool, 256> ends{};
  for (const unsigned char c : {',', '"', '\n', '\r'}) ends[c] = true;
  return ends;
}();

}  // namespace

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string field = "\"";
  for (const char c : text) {
    if (c == '"') field += '"';
    field += c;
  }
  return field + '"';
}

std::size_t FindLineEnd(std::string_view text, std::size_t from) {
  if (from >= text.size()) return std::string_view::npos;
  const char* begin = text.data() + from;
  const std::size_t size = text.size() - from;
  const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', size));
  const std::size_t before = lf != nullptr ? static_cast<std::size_t>(lf - begin) : size;
  const auto* cr = static_cast<const char*>(std::memchr(begin, '\r', before));
  if (cr != nullptr) return from + static_cast<std::size_t>(cr - begin);
  return lf != nullptr ? from + before : std::string_view::npos;
}

std::string SpreadsheetText(std::string_view text) {
  if (text.empty() || std::string_view("=+-@\t\r").find(text.front()) == std::string_view::npos) {
    return std::string(text);
  }
  return "'" + std::string(text);
}

std::string CsvLine(std::initializer_list<std::string_view> fields, std::string_view lineEnd) {
  return Join(fields, lineEnd);
}

std::string CsvLine(const std::vector<std::string>& fields, std::string_view lineEnd) {
  return Join(fields, lineEnd);
}

std::string& CsvReader::NewField() {
  if (count_ == fields_.size()) fields_.emplace_back();
  std::string& field = fields_[count_++];
  field.clear();
  return field;
}

std::size_t CsvReader::LineAfter(std::size_t pos) const {
  const std::size_t end = FindLineEnd(text_, pos);
  if (end == std::string_view::npos) return end;
  return end + (text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n' ? 2 : 1);
}

bool CsvReader::Next(std::size_t& pos, bool runOn, std::size_t limit) {
  const std::size_t size = std::min(text_.size(), limit);
  count_ = 0;
  ranOut_ = false;
  std::size_t i = pos;
  if (i < size && IsLineEnd(text_[i])) {  // a blank line
    pos = LineAfter(i);
    return true;
  }
  std::string* field = &NewField();
  bool quoted = false;
  while (i < size) {
    if (quoted) {
      const std::size_t quote = std::string_view(text_.data(), size).find('"', i);
      const std::size_t end = quote == std::string_view::npos ? size : quote;
      if (beginsRecord_ != nullptr && !runOn) {
        const std::string_view within = text_.substr(0, end);
        for (std::size_t at = FindLineEnd(within, i); at < end; at = FindLineEnd(within, at + 1)) {
          const std::size_t next = LineAfter(at);
          if (next != std::string_view::npos && beginsRecord_(text_.substr(next))) return false;
        }
      }
      if (quote == std::string_view::npos) {
        ranOut_ = size == text_.size();
        return false;
      }
      field->append(text_, i, quote - i);
      if (quote + 1 < size && text_[quote + 1] == '"') {
        *field += '"';
        i = quote + 2;
      } else {
        quoted = false;
        i = quote + 1;
      }
      continue;
    }
    std::size_t end = i;
    while (end < size && !kEndsRun[static_cast<unsigned char>(text_[end])]) ++end;
    field->append(text_, i, end - i);
    if (end == size) break;
    i = end + 1;
    if (text_[end] == '"') {
      quoted = true;
    } else if (text_[end] == ',') {
      field = &NewField();
    } else {
      pos = text_[end] == '\r' && i < size && text_[i] == '\n' ? i + 1 : i;
      return true;
    }
  }
  ranOut_ = size == text_.size();  // the text ended before the line did
  return false;
}

std::vector<std::vector<std::string>> SplitCsv(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  CsvReader reader(text);
  for (std::size_t pos = 0; pos < text.size() && reader.Next(pos);) {
    if (reader.FieldCount() == 0) continue;
    std::vector<std::string>& fields = records.emplace_back();
    for (std::size_t i = 0; i < reader.FieldCount(); ++i) fields.emplace_back(reader.Field(i));
  }
  return records;
}

}  // namespace karvello
