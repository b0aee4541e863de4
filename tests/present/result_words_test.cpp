// Each result has its words in each language, once: a result added to the engine and left out of
// a table would otherwise borrow another's words.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "present/result_words.h"

namespace karvello {
namespace {

constexpr Result kEveryResult[] = {Result::kAnswered, Result::kRefused,  Result::kWrongReply,
                                   Result::kCorrupt,  Result::kNoReply,  Result::kLineLost,
                                   Result::kNotSent};

template <std::size_t N>
void ExpectEachResultOnce(const ResultWords (&table)[N]) {
  ASSERT_EQ(N, std::size(kEveryResult));
  for (const Result result : kEveryResult) {
    int entries = 0;
    for (const ResultWords& entry : table) entries += entry.result == result ? 1 : 0;
    EXPECT_EQ(entries, 1) << ResultName(result);
  }
}

TEST(ResultWords, EveryResultOnceInEachLanguage) {
  ExpectEachResultOnce(kChineseResultWords);
  ExpectEachResultOnce(kEnglishResultWords);
}

// The command line's status line is all a script reads of a failure: no two results share it.
TEST(ResultWords, NoTwoResultsShareTheirEnglishWords) {
  std::set<std::string_view> english;
  for (const ResultWords& entry : kEnglishResultWords) english.insert(entry.words);
  EXPECT_EQ(english.size(), std::size(kEnglishResultWords));
}

}  // namespace
}  // namespace karvello
