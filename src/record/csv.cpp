#include "record/csv.h"

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

std::string CsvLine(std::initializer_list<std::string_view> fields, std::string_view lineEnd) {
  return Join(fields, lineEnd);
}

std::string CsvLine(const std::vector<std::string>& fields, std::string_view lineEnd) {
  return Join(fields, lineEnd);
}

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
  return records;
}

}  // namespace karvello
