// Numbering the system's serial devices, at start and as adapters come and go.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "serial/port_map.h"

namespace karvello {
namespace {

using Names = std::vector<std::string>;

Names NumberedNames(const Names& devices) {
  Names out;
  int expected = 1;
  for (const auto& [number, name] : SystemPortMap::Number(devices)) {
    EXPECT_EQ(number, expected++);
    out.push_back(name);
  }
  return out;
}

TEST(SystemPortMapNumber, UsbAdaptersFirstThenAcmThenBuiltIn) {
  EXPECT_EQ(NumberedNames({"ttyS1", "ttyACM0", "ttyUSB10", "ttyS0", "ttyUSB2", "ttyS10", "ttyS9"}),
            (Names{"ttyUSB2", "ttyUSB10", "ttyACM0", "ttyS0", "ttyS1", "ttyS9", "ttyS10"}));
  EXPECT_EQ(NumberedNames({"rfcomm0", "ttyS0", "ttyACM1", "ttyACM0"}),
            (Names{"ttyACM0", "ttyACM1", "ttyS0", "rfcomm0"}));
  EXPECT_EQ(NumberedNames({}), Names{});
}

TEST(SystemPortMapNumber, AtMostSixteen) {
  Names devices;
  for (int i = 31; i >= 0; --i) devices.push_back("ttyS" + std::to_string(i));
  devices.push_back("ttyUSB0");
  const Names numbered = NumberedNames(devices);
  ASSERT_EQ(numbered.size(), 16U);
  EXPECT_EQ(numbered.front(), "ttyUSB0");
  EXPECT_EQ(numbered.back(), "ttyS14");
}

using Given = std::map<std::string, int>;

Given TtyS(int from, int to) {
  Given given;
  for (int i = from; i <= to; ++i) given["ttyS" + std::to_string(i)] = i + 1;
  return given;
}

Names Without(Names names, const std::string& gone) {
  std::erase(names, gone);
  return names;
}

Names TtySNames(int from, int to) {
  Names names;
  for (int i = from; i <= to; ++i) names.push_back("ttyS" + std::to_string(i));
  return names;
}

TEST(SystemPortMapRenumber, DevicesKeepTheirNumbersAndNewOnesTakeTheLowestNeverGiven) {
  struct Case {
    const char* what;
    Given given;
    Names present;
    Given expected;
  };
  Given allSixteen = TtyS(0, 15);
  Given twoReplaced = allSixteen;
  twoReplaced.erase("ttyS3");
  twoReplaced.erase("ttyS7");
  twoReplaced["ttyUSB0"] = 4;
  twoReplaced["ttyUSB1"] = 8;
  const Case cases[] = {
      {"an adapter plugged in after start",
       {{"ttyUSB0", 1}, {"ttyS0", 2}},
       {"ttyUSB0", "ttyS0", "ttyUSB1"},
       {{"ttyUSB0", 1}, {"ttyS0", 2}, {"ttyUSB1", 3}}},
      {"an adapter that sorts first does not push a listed port along",
       {{"ttyS0", 1}},
       {"ttyUSB0", "ttyS0"},
       {{"ttyS0", 1}, {"ttyUSB0", 2}}},
      {"a pulled adapter keeps its number from a newcomer",
       {{"ttyUSB0", 1}, {"ttyS0", 2}},
       {"ttyS0", "ttyACM0"},
       {{"ttyUSB0", 1}, {"ttyS0", 2}, {"ttyACM0", 3}}},
      {"a pulled adapter plugged in again gets its number back",
       {{"ttyUSB0", 1}, {"ttyS0", 2}, {"ttyACM0", 3}},
       {"ttyACM0", "ttyUSB0"},
       {{"ttyUSB0", 1}, {"ttyS0", 2}, {"ttyACM0", 3}}},
      {"several newcomers at once, in the start-up order",
       {{"ttyS0", 1}},
       {"ttyS1", "ttyS0", "ttyACM0", "ttyUSB3"},
       {{"ttyS0", 1}, {"ttyUSB3", 2}, {"ttyACM0", 3}, {"ttyS1", 4}}},
      {"all numbers given: newcomers take the numbers of gone devices, lowest first", allSixteen,
       [] {
         Names n = Without(Without(TtySNames(0, 15), "ttyS3"), "ttyS7");
         n.insert(n.end(), {"ttyUSB0", "ttyUSB1", "ttyUSB2"});
         return n;
       }(),
       twoReplaced},
      {"sixteen devices present: a seventeenth goes without a number", allSixteen,
       [] {
         Names n = TtySNames(0, 15);
         n.push_back("ttyUSB0");
         return n;
       }(),
       allSixteen},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SystemPortMap::Renumber(c.given, c.present), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace karvello
