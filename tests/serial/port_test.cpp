// Numbering the system's serial devices (at start and as adapters come and go), probing the
// ports at start and opening the one chosen.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "serial/fake_serial_line.h"
#include "serial/port_discovery.h"
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

// The window's start: the probe, then the selection event of the first entry.
struct Start {
  explicit Start(std::set<int> available, std::set<int> held = {})
      : line(std::move(available), std::move(held)) {
    for (int n = 1; n <= 16; ++n) map.Set(n, "/dev/pts/" + std::to_string(40 + n));
    list.SetOnSelected([this] { OpenSelectedPort(line, list); });
    DiscoverPorts(line, map, list);
  }
  Names Texts() const {
    Names out;
    for (const auto& e : list.Entries()) out.push_back(e.text);
    return out;
  }
  FakeSerialLine line;
  FixedPortMap map;
  PortList list;
};

TEST(DiscoverPorts, ListsThePortsThatOpenAndOpensTheFirst) {
  Start s({1, 2, 5});
  EXPECT_EQ(s.Texts(), (Names{"COM1", "COM2", "COM5"}));
  EXPECT_EQ(s.list.SelectedIndex(), 0);
  EXPECT_TRUE(s.line.IsOpen());
  EXPECT_EQ(s.line.Port(), 1);
  // Every number is tried once, and one that opened is closed again; then the selection opens
  // port 1.
  Names expected;
  for (int n = 1; n <= 16; ++n) {
    expected.push_back("open " + std::to_string(n));
    if (n == 1 || n == 2 || n == 5) expected.push_back("close");
  }
  expected.push_back("open 1");  // closed after the probe, so no close before it
  EXPECT_EQ(s.line.Calls(), expected);
}

TEST(DiscoverPorts, EntriesCarryTheirPortNumbers) {
  Start s({3, 12, 16});
  std::vector<int> numbers;
  for (const auto& e : s.list.Entries()) numbers.push_back(e.number);
  EXPECT_EQ(numbers, (std::vector<int>{3, 12, 16}));
}

TEST(DiscoverPorts, TooltipsAreDevicePaths) {
  Start s({3, 12});
  ASSERT_EQ(s.list.Entries().size(), 2U);
  EXPECT_EQ(s.list.Entries()[0].tooltip, "/dev/pts/43");
  EXPECT_EQ(s.list.Entries()[1].tooltip, "/dev/pts/52");
}

TEST(DiscoverPorts, TwoDigitNumbersAreReadWhole) {
  Start s({3, 12});
  EXPECT_EQ(s.Texts(), (Names{"COM3", "COM12"}));
  EXPECT_EQ(s.line.Port(), 3);
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_EQ(s.line.Port(), 12);
  EXPECT_TRUE(s.line.IsOpen());
  ASSERT_TRUE(s.list.Select(0));
  EXPECT_EQ(s.line.Port(), 3);
  EXPECT_TRUE(s.line.IsOpen());
}

TEST(DiscoverPorts, NoPortLeavesAnEmptyListAndNothingOpen) {
  Start s({});
  EXPECT_TRUE(s.list.Entries().empty());
  EXPECT_EQ(s.list.SelectedIndex(), -1);
  EXPECT_FALSE(s.line.IsOpen());
  EXPECT_EQ(s.line.Calls().size(), 16U);  // the probe only: 16 opens, none of which took
}

TEST(DiscoverPorts, APortHeldByAnotherProgramIsNotListed) {
  Start s({1, 2, 7}, {1, 7});
  EXPECT_EQ(s.Texts(), Names{"COM2"});
  EXPECT_EQ(s.line.Port(), 2);
  EXPECT_TRUE(s.line.IsOpen());
}

TEST(OpenSelectedPort, SelectingTheOpenEntryClosesAndReopens) {
  Start s({1, 2, 5});
  s.line.ForgetCalls();
  ASSERT_TRUE(s.list.Select(0));
  EXPECT_EQ(s.line.Calls(), (Names{"close", "open 1"}));
  EXPECT_TRUE(s.line.IsOpen());
  s.line.ForgetCalls();
  ASSERT_TRUE(s.list.Select(2));
  EXPECT_EQ(s.line.Calls(), (Names{"close", "open 5"}));
  EXPECT_EQ(s.line.Port(), 5);
}

TEST(OpenSelectedPort, AFailedOpenLeavesThePortClosedUntilTheNextSelection) {
  Start s({1, 2});
  s.line.SetAvailable({1});  // another program took port 2 after the list was made
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_FALSE(s.line.IsOpen());
  s.line.SetAvailable({1, 2});
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_TRUE(s.line.IsOpen());
  EXPECT_EQ(s.line.Port(), 2);
}

// The device is pulled: the port closes and the loss is told; once it is back, choosing its
// entry again opens it.
TEST(OpenSelectedPort, APulledPortOpensAgainFromItsEntryOnceBack) {
  Start s({1, 2});
  int lost = 0;
  s.line.SetOnLost([&] { ++lost; });
  ASSERT_TRUE(s.list.Select(1));
  s.line.Pull();
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(s.line.IsOpen());
  EXPECT_EQ(s.line.Port(), 0);
  ASSERT_TRUE(s.list.Select(1));  // not back yet
  EXPECT_FALSE(s.line.IsOpen());
  s.line.SetAvailable({1, 2});
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_TRUE(s.line.IsOpen());
  EXPECT_EQ(s.line.Port(), 2);
  EXPECT_EQ(lost, 1);
}

TEST(PortList, SelectingNoEntryChangesNothing) {
  Start s({1});
  s.line.ForgetCalls();
  EXPECT_FALSE(s.list.Select(1));
  EXPECT_FALSE(s.list.Select(-1));
  EXPECT_EQ(s.list.SelectedIndex(), 0);
  EXPECT_TRUE(s.line.Calls().empty());
  EXPECT_TRUE(s.line.IsOpen());
}

}  // namespace
}  // namespace karvello
