#pragma once
// JSON written by hand where its order and its numbers matter: members in the order a person
// reads them, and a reading's number as the detector gave it ("34.50", which a JSON library would
// write as 34.5).

#include <string>
#include <string_view>

namespace karvello {

// `text` as a JSON string, quotes included; control characters escaped.
std::string JsonString(std::string_view text);

}  // namespace karvello
