#pragma once
// Where a watch left its site, read from the end of the record as it starts: the last reading of
// each quantity at each address it reads, and the alarms that stood. Only the end of the record
// is read, back to where all is found or a bound, so a watch starts at once however long (or
// damaged) the record is.

#include <QString>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/operations.h"
#include "gateway/site_state.h"

namespace karvello::gateway {

// How far back from its end the record is read at the most: the record and every old file kept,
// each at the default size limit, and one more.
inline constexpr std::int64_t kLastKnownBound = 5LL * 8 * 1024 * 1024;

struct LastKnown {
  // Per address and quantity (a resistance or a voltage): the last outcome and the last good
  // reading, without counts.
  std::map<std::pair<int, Quantity>, QuantityState> readings;
  // The addresses whose last alarm row says "raised".
  std::set<int> raised;
  // The addresses whose last no-answer alarm row, among those read, says "raised".
  std::set<int> silent;
  std::int64_t damaged = 0;  // damaged lines met on the way
  QString problem;           // a file of the record that could not be read, and why
};

// What the record at `path` last says of `addresses` on `port`: the readings of the quantities
// that `operations` read, and with `alarms` the alarms. Reading ends once each is found, or after
// `bound` bytes.
LastKnown ReadLastKnown(const QString& path, const std::string& port,
                        const std::vector<std::uint8_t>& addresses,
                        const std::vector<Operation>& operations, bool alarms,
                        std::int64_t bound = kLastKnownBound);

// Seeds `state` with the readings found.
void Seed(SiteState& state, const LastKnown& known);

}  // namespace karvello::gateway
