#include "ui/address_entry.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/address_entry_cases.h"

namespace karvello {
namespace {

TEST(AddressEntryRule, KeepsTheAddressBoxInRange) {
  for (const auto& [typed, kept] : test::kAddressEntryCases) {
    EXPECT_EQ(ApplyAddressEntryRule(typed), kept) << "typed \"" << typed << "\"";
  }
}

TEST(AddressEntryRule, NumbersTooLargeForADoubleEndAtTheBounds) {
  const std::string digits(400, '9');
  EXPECT_EQ(ApplyAddressEntryRule(digits), "255");
  EXPECT_EQ(ApplyAddressEntryRule(digits + "abc"), "255");
  EXPECT_EQ(ApplyAddressEntryRule("-" + digits), "1");
  // So many digits after the point are still a plain fraction.
  EXPECT_EQ(ApplyAddressEntryRule("0." + digits), "0." + digits);
}

}  // namespace
}  // namespace karvello
