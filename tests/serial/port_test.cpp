// Numbering the system's serial devices, at start and as adapters come and go.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
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

// "ttyS0=1 ttyUSB0=2": devices and their numbers.
Given Numbers(const std::string& text) {
  Given given;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    given[word.substr(0, word.find('='))] = std::stoi(word.substr(word.find('=') + 1));
  }
  return given;
}

// ttyS`from` to ttyS`to`, each with its number (ttySn is n + 1) or not.
std::string TtyS(int from, int to, bool numbered) {
  std::string text;
  for (int i = from; i <= to; ++i) {
    text += " ttyS" + std::to_string(i) + (numbered ? "=" + std::to_string(i + 1) : "");
  }
  return text;
}

TEST(SystemPortMapRenumber, DevicesKeepTheirNumbersAndNewOnesTakeTheLowestNeverGiven) {
  const struct {
    const char* what;
    std::string given;
    std::string present;
    std::string expected;
  } cases[] = {
      {"an adapter plugged in after start", "ttyUSB0=1 ttyS0=2", "ttyUSB0 ttyS0 ttyUSB1",
       "ttyUSB0=1 ttyS0=2 ttyUSB1=3"},
      {"an adapter that sorts first does not push a listed port along", "ttyS0=1", "ttyUSB0 ttyS0",
       "ttyS0=1 ttyUSB0=2"},
      {"a pulled adapter keeps its number from a newcomer", "ttyUSB0=1 ttyS0=2", "ttyS0 ttyACM0",
       "ttyUSB0=1 ttyS0=2 ttyACM0=3"},
      {"a pulled adapter plugged in again gets its number back", "ttyUSB0=1 ttyS0=2 ttyACM0=3",
       "ttyACM0 ttyUSB0", "ttyUSB0=1 ttyS0=2 ttyACM0=3"},
      {"several newcomers at once, in the start-up order", "ttyS0=1", "ttyS1 ttyS0 ttyACM0 ttyUSB3",
       "ttyS0=1 ttyUSB3=2 ttyACM0=3 ttyS1=4"},
      {"all numbers given: newcomers take the numbers of gone devices, lowest first",
       TtyS(0, 15, true),
       TtyS(0, 2, false) + TtyS(4, 6, false) + TtyS(8, 15, false) + " ttyUSB0 ttyUSB1 ttyUSB2",
       TtyS(0, 2, true) + TtyS(4, 6, true) + TtyS(8, 15, true) + " ttyUSB0=4 ttyUSB1=8"},
      {"sixteen devices present: a seventeenth goes without a number", TtyS(0, 15, true),
       TtyS(0, 15, false) + " ttyUSB0", TtyS(0, 15, true)},
  };
  for (const auto& c : cases) {
    Names present;
    std::istringstream words(c.present);
    for (std::string word; words >> word;) present.push_back(word);
    EXPECT_EQ(SystemPortMap::Renumber(Numbers(c.given), present), Numbers(c.expected)) << c.what;
  }
}

}  // namespace
}  // namespace karvello
