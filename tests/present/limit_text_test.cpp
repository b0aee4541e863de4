// The resistance limit as a person types it, at the edges of its rule: 9 whole digits and 2
// decimals taken, one more of either refused; and written back as typed.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "present/limit_text.h"

namespace karvello {
namespace {

struct LimitCase {
  const char* text;
  std::optional<double> ohms;
  const char* written;  // LimitText of the ohms
};

TEST(LimitText, TakesWholeOhmsAndAtMostTwoDecimals) {
  const LimitCase cases[] = {
      {"20", 20, "20"},
      {"4.5", 4.5, "4.5"},
      {"0.25", 0.25, "0.25"},
      {"4.10", 4.1, "4.1"},
      {"0", 0, "0"},
      {"999999999", 999999999, "999999999"},
      {"999999999.99", 999999999.99, "999999999.99"},
      {"1000000000", std::nullopt, ""},
      {"4.125", std::nullopt, ""},
      {"4.", std::nullopt, ""},
      {".5", std::nullopt, ""},
      {"", std::nullopt, ""},
      {"-1", std::nullopt, ""},
      {"+1", std::nullopt, ""},
      {"1e3", std::nullopt, ""},
      {" 4", std::nullopt, ""},
      {"4 ", std::nullopt, ""},
      {"4,5", std::nullopt, ""},
      {"ten", std::nullopt, ""},
  };
  for (const LimitCase& c : cases) {
    const std::optional<double> ohms = ParseLimitOhms(c.text);
    EXPECT_EQ(ohms, c.ohms) << '"' << c.text << '"';
    if (ohms) {
      EXPECT_EQ(LimitText(*ohms), c.written) << '"' << c.text << '"';
    }
  }
}

}  // namespace
}  // namespace karvello
