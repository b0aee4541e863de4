#include "present/result_words.h"

#include <iterator>

namespace karvello {
namespace {

template <std::size_t N>
std::string_view Lookup(const ResultWords (&table)[N], Result result) {
  for (const ResultWords& entry : table) {
    if (entry.result == result) return entry.words;
  }
  return table[N - 1].words;
}

}  // namespace

std::string_view ChineseWords(Result result) {
  return Lookup(kChineseResultWords, result);
}

std::string_view EnglishWords(Result result) {
  return Lookup(kEnglishResultWords, result);
}

std::string_view GatewayWords(std::uint8_t code) {
  for (const GatewayExceptionWords& entry : kGatewayExceptionWords) {
    if (entry.code == code) return entry.words;
  }
  return {};
}

}  // namespace karvello
