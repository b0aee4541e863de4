// Feeds arbitrary texts to the record's reader, as a record file's text: whole, and as a stream
// cut in two at a place the input's first two bytes name.
//
// Invariants:
// - read as a stream in two parts, the text gives the rows and the damaged count it gives whole
//   (where the parts meet changes nothing), and the first part's call never says it read past
//   its end;
// - every row read is one Karvello could have written: its fields agree (Consistent), its
//   address is 0 to 255;
// - a row read, written again as a line and read back, is that same row and nothing damaged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "record/record_format.h"

namespace {

using karvello::RecordParser;
using karvello::RecordQuery;
using karvello::RecordRow;

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "INVARIANT VIOLATED: %s\ntext (%zu bytes)\n", what, text.size());
  std::abort();
}

struct Read {
  std::vector<RecordRow> rows;
  std::int64_t damaged = 0;
};

// Far ahead of any time a text can hold, so that no row is damaged by its date alone and every
// run reads alike.
const RecordQuery kQuery{.now = QDateTime::fromMSecsSinceEpoch(253402300799000LL, Qt::UTC)};

Read Whole(std::string_view text) {
  Read read;
  RecordParser parser(kQuery);
  parser.Parse(text, false, [&read](RecordRow&& row) { read.rows.push_back(std::move(row)); });
  read.damaged = parser.Damaged();
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cut = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % (size - 1);
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  const Read whole = Whole(text);

  Read parted;
  RecordParser parser(kQuery);
  const auto sink = [&parted](RecordRow&& row) { parted.rows.push_back(std::move(row)); };
  const std::size_t read = parser.Parse(text.substr(0, cut), true, sink);
  if (read > cut) Fail("a part read past its end", text);
  parser.Parse(text.substr(read), false, sink);
  parted.damaged = parser.Damaged();
  if (parted.rows != whole.rows) Fail("the rows read in parts differ from those read whole", text);
  if (parted.damaged != whole.damaged) Fail("the damaged count in parts differs", text);

  for (const RecordRow& row : whole.rows) {
    if (!karvello::Consistent(row)) Fail("a row read whose fields disagree", text);
    if (row.address < 0 || row.address > 255) Fail("an address outside 0 to 255", text);
    const Read again = Whole(karvello::CsvLine(row));
    if (again.rows.size() != 1 || !(again.rows[0] == row) || again.damaged != 0) {
      Fail("a row written again does not read back as itself", text);
    }
  }
  return 0;
}
