// The resistance limit as a person types it, at the edges of its rule: 9 whole digits and 2
// decimals taken, one more of either refused; and written back as typed.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "present/limit_text.h"

namespace karvello {
namespace {

TEST(LimitText, TakesWholeOhmsAndAtMostTwoDecimals) {
  const struct {
    const char* text;
    double ohms;
    const char* written;  // LimitText of the ohms
  } taken[] = {
      {"20", 20, "20"},
      {"4.5", 4.5, "4.5"},
      {"0.25", 0.25, "0.25"},
      {"4.10", 4.1, "4.1"},
      {"0", 0, "0"},
      {"999999999", 999999999, "999999999"},
      {"999999999.99", 999999999.99, "999999999.99"},
  };
  for (const auto& c : taken) {
    const std::optional<double> ohms = ParseLimitOhms(c.text);
    ASSERT_EQ(ohms, c.ohms) << '"' << c.text << '"';
    EXPECT_EQ(LimitText(*ohms), c.written) << '"' << c.text << '"';
  }
  for (const char* refused :
       {"1000000000", "4.125", "4.", ".5", "", "-1", "+1", "1e3", " 4", "4 ", "4,5", "ten"}) {
    EXPECT_EQ(ParseLimitOhms(refused), std::nullopt) << '"' << refused << '"';
  }
}

}  // namespace
}  // namespace karvello
