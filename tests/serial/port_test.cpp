// Numbering the system's serial devices (at start and as adapters come and go), probing the
// ports at start and opening the one chosen.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "serial/fake_serial_control.h"
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
      : comm(std::move(available), std::move(held)) {
    for (int n = 1; n <= 16; ++n) map.Set(n, "/dev/pts/" + std::to_string(40 + n));
    list.SetOnSelected([this] { OpenSelectedPort(comm, list); });
    DiscoverPorts(comm, map, list);
  }
  Names Texts() const {
    Names out;
    for (const auto& e : list.Entries()) out.push_back(e.text);
    return out;
  }
  FakeSerialControl comm;
  FixedPortMap map;
  PortList list;
};

TEST(DiscoverPorts, ListsThePortsThatOpenAndOpensTheFirst) {
  Start s({1, 2, 5});
  EXPECT_EQ(s.Texts(), (Names{"COM1", "COM2", "COM5"}));
  EXPECT_EQ(s.list.SelectedIndex(), 0);
  EXPECT_TRUE(s.comm.PortOpen());
  EXPECT_EQ(s.comm.CommPort(), 1);
  // Every number is tried once and closed again; then the selection opens port 1.
  const auto& calls = s.comm.Calls();
  ASSERT_EQ(calls.size(), 16U * 2 + 1);
  for (int n = 1; n <= 16; ++n) {
    EXPECT_EQ(calls[2 * (n - 1)], "open " + std::to_string(n));
    EXPECT_EQ(calls[2 * (n - 1) + 1], "close");
  }
  EXPECT_EQ(calls[32], "open 1");  // closed after the probe, so no close before it
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
  EXPECT_EQ(s.comm.CommPort(), 3);
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_EQ(s.comm.CommPort(), 12);
  EXPECT_TRUE(s.comm.PortOpen());
  ASSERT_TRUE(s.list.Select(0));
  EXPECT_EQ(s.comm.CommPort(), 3);
  EXPECT_TRUE(s.comm.PortOpen());
}

TEST(DiscoverPorts, NoPortLeavesAnEmptyListAndNothingOpen) {
  Start s({});
  EXPECT_TRUE(s.list.Entries().empty());
  EXPECT_EQ(s.list.SelectedIndex(), -1);
  EXPECT_FALSE(s.comm.PortOpen());
  EXPECT_EQ(s.comm.Calls().size(), 32U);  // the probe only
}

TEST(DiscoverPorts, APortHeldByAnotherProgramIsNotListed) {
  Start s({1, 2, 7}, {1, 7});
  EXPECT_EQ(s.Texts(), Names{"COM2"});
  EXPECT_EQ(s.comm.CommPort(), 2);
  EXPECT_TRUE(s.comm.PortOpen());
}

TEST(OpenSelectedPort, SelectingTheOpenEntryClosesAndReopens) {
  Start s({1, 2, 5});
  s.comm.ForgetCalls();
  ASSERT_TRUE(s.list.Select(0));
  EXPECT_EQ(s.comm.Calls(), (Names{"close", "open 1"}));
  EXPECT_TRUE(s.comm.PortOpen());
  s.comm.ForgetCalls();
  ASSERT_TRUE(s.list.Select(2));
  EXPECT_EQ(s.comm.Calls(), (Names{"close", "open 5"}));
  EXPECT_EQ(s.comm.CommPort(), 5);
}

TEST(OpenSelectedPort, AFailedOpenLeavesThePortClosedUntilTheNextSelection) {
  Start s({1, 2});
  s.comm.SetAvailable({1});  // another program took port 2 after the list was made
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_FALSE(s.comm.PortOpen());
  s.comm.SetAvailable({1, 2});
  ASSERT_TRUE(s.list.Select(1));
  EXPECT_TRUE(s.comm.PortOpen());
  EXPECT_EQ(s.comm.CommPort(), 2);
}

TEST(PortList, SelectingNoEntryChangesNothing) {
  Start s({1});
  s.comm.ForgetCalls();
  EXPECT_FALSE(s.list.Select(1));
  EXPECT_FALSE(s.list.Select(-1));
  EXPECT_EQ(s.list.SelectedIndex(), 0);
  EXPECT_TRUE(s.comm.Calls().empty());
  EXPECT_TRUE(s.comm.PortOpen());
}

}  // namespace
}  // namespace karvello
