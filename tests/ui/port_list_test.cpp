// The window's port list made from the ports that open now: its entries, their order, numbers and
// tooltips, the selection, and the port in use, which no probe may touch. First with a probe that
// answers as told, then with the QSerialPort probe on pseudo-terminals.
#include "ui/port_list.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/qt_serial_line.h"
#include "sim/pty_pair.h"
#include "support/fake_port_probe.h"

namespace karvello {

// Shows an entry readably in a failure message.
void PrintTo(const PortListModel::Entry& entry, std::ostream* out) {
  *out << "{" << entry.number << ", \"" << entry.text << "\", \"" << entry.tooltip << "\"}";
}

namespace {

using Entry = PortListModel::Entry;
using Entries = std::vector<Entry>;
using Numbers = std::vector<int>;

// A device for every number from 1 to 16: port n is /dev/pts/(40 + n).
FixedPortMap EveryNumberMapped() {
  FixedPortMap map;
  for (int n = 1; n <= 16; ++n) map.Set(n, "/dev/pts/" + std::to_string(40 + n));
  return map;
}

// The numbers 1 to 16 but `kept`.
Numbers AllBut(int kept) {
  Numbers numbers;
  for (int n = 1; n <= 16; ++n) {
    if (n != kept) numbers.push_back(n);
  }
  return numbers;
}

// A list that counts its selection events, probed once with no port in use.
struct CountingList {
  CountingList(const FixedPortMap& map, FakePortProbe& probe) {
    list.SetOnSelected([this] { ++selections; });
    list.Probe(map, probe, 0);
  }
  PortListModel list;
  int selections = 0;
};

TEST(PortListModel, ListsThePortsThatOpenInAscendingOrderTryingEveryNumberOnce) {
  struct Case {
    const char* what;
    std::set<int> opening;
    Entries expected;
  };
  FixedPortMap map = EveryNumberMapped();
  const Case cases[] = {
      {"some ports open",
       {5, 1, 2},
       {{1, "COM1", "/dev/pts/41"}, {2, "COM2", "/dev/pts/42"}, {5, "COM5", "/dev/pts/45"}}},
      {"two-digit numbers, the last one included",
       {16, 12, 3},
       {{3, "COM3", "/dev/pts/43"}, {12, "COM12", "/dev/pts/52"}, {16, "COM16", "/dev/pts/56"}}},
      {"the first and the last",
       {1, 16},
       {{1, "COM1", "/dev/pts/41"}, {16, "COM16", "/dev/pts/56"}}},
      {"none", {}, {}},
  };
  for (const auto& c : cases) {
    FakePortProbe probe(c.opening);
    PortListModel list;
    list.Probe(map, probe, 0);
    EXPECT_EQ(list.Entries(), c.expected) << c.what;
    EXPECT_EQ(probe.Tried(), AllBut(0)) << c.what;
  }

  // Above COM16 only the ports the map has are tried, and those that open are listed after.
  map.Set(17, "\\\\.\\COM17");
  map.Set(23, "\\\\.\\COM23");
  map.Set(256, "\\\\.\\COM256");
  map.Set(257, "\\\\.\\COM257");
  {
    FakePortProbe probe({2, 23, 256, 257});
    PortListModel list;
    list.Probe(map, probe, 0);
    EXPECT_EQ(list.Entries(), (Entries{{2, "COM2", "/dev/pts/42"},
                                       {23, "COM23", "\\\\.\\COM23"},
                                       {256, "COM256", "\\\\.\\COM256"}}));
    Numbers tried = AllBut(0);
    tried.insert(tried.end(), {17, 23, 256});
    EXPECT_EQ(probe.Tried(), tried);
  }
  for (int n : {17, 23, 256, 257}) map.Remove(n);

  // A port the map no longer names, yet said to open, is listed without a tooltip.
  map.Remove(7);
  FakePortProbe probe({7});
  PortListModel list;
  list.Probe(map, probe, 0);
  EXPECT_EQ(list.Entries(), (Entries{{7, "COM7", ""}}));
}

TEST(PortListModel, TheKeptPortIsNeverTriedAndStaysListedAsItWas) {
  FixedPortMap map = EveryNumberMapped();
  FakePortProbe probe({1, 3});
  CountingList counting(map, probe);
  PortListModel& list = counting.list;
  ASSERT_TRUE(list.Select(1));  // COM3 is opened and in use

  // Its device leaves the map and the probe would say it does not open: it is not asked.
  map.Remove(3);
  probe.SetOpening({1});
  probe.ForgetTried();
  list.Probe(map, probe, 3);
  EXPECT_EQ(probe.Tried(), AllBut(3));
  EXPECT_EQ(list.Entries(), (Entries{{1, "COM1", "/dev/pts/41"}, {3, "COM3", "/dev/pts/43"}}));
  EXPECT_EQ(list.SelectedNumber(), 3);
  EXPECT_EQ(counting.selections, 1);  // a probe opens and closes nothing

  // A port in use that was not listed yet is listed all the same, untried.
  FakePortProbe none;
  PortListModel fresh;
  fresh.Probe(map, none, 5);
  EXPECT_EQ(none.Tried(), AllBut(5));
  EXPECT_EQ(fresh.Entries(), (Entries{{5, "COM5", "/dev/pts/45"}}));
}

TEST(PortListModel, TheSelectionFollowsItsPortAcrossProbesUntilThePortGoes) {
  const FixedPortMap map = EveryNumberMapped();
  FakePortProbe probe({1, 12});
  CountingList counting(map, probe);
  PortListModel& list = counting.list;
  EXPECT_EQ(list.SelectedIndex(), -1);  // a probe selects nothing by itself
  ASSERT_TRUE(list.Select(1));
  EXPECT_EQ(list.SelectedNumber(), 12);

  // COM2 comes before it: the selection moves down with COM12.
  probe.SetOpening({1, 2, 12});
  list.Probe(map, probe, 0);
  EXPECT_EQ(list.SelectedIndex(), 2);
  EXPECT_EQ(list.SelectedNumber(), 12);

  // COM12 goes: nothing is selected.
  probe.SetOpening({1, 2});
  list.Probe(map, probe, 0);
  EXPECT_EQ(list.SelectedIndex(), -1);
  EXPECT_EQ(list.SelectedNumber(), 0);
  EXPECT_EQ(counting.selections, 1);
}

// An entry selected gives its number and raises the event every time; no entry changes nothing.
TEST(PortListModel, SelectingAnEntryGivesItsNumberAndRaisesTheEventEveryTime) {
  const FixedPortMap map = EveryNumberMapped();
  FakePortProbe probe({3, 12, 16});
  CountingList counting(map, probe);
  PortListModel& list = counting.list;
  const struct {
    int index;
    int number;
  } picks[] = {{1, 12}, {2, 16}, {2, 16}, {0, 3}};
  int raised = 0;
  for (const auto& [index, number] : picks) {
    ASSERT_TRUE(list.Select(index));
    EXPECT_EQ(++raised, counting.selections) << "index " << index;
    EXPECT_EQ(list.SelectedIndex(), index);
    EXPECT_EQ(list.SelectedNumber(), number) << "index " << index;
  }
  for (const int index : {3, -1, 16}) {
    EXPECT_FALSE(list.Select(index)) << index;
  }
  EXPECT_EQ(list.SelectedIndex(), 0);
  EXPECT_EQ(list.SelectedNumber(), 3);
  EXPECT_EQ(counting.selections, 4);

  // An empty list: not even the first entry can be selected.
  probe.SetOpening({});
  list.Probe(map, probe, 0);
  ASSERT_TRUE(list.Entries().empty());
  EXPECT_FALSE(list.Select(0));
  EXPECT_EQ(list.SelectedIndex(), -1);
  EXPECT_EQ(list.SelectedNumber(), 0);
  EXPECT_EQ(counting.selections, 4);
}

TEST(PortListModel, PortsThatDidNotOpenInTimeAreLeftOutAndNamedInTheBoxTooltip) {
  FixedPortMap map = EveryNumberMapped();
  map.Set(17, "\\\\.\\COM17");
  FakePortProbe probe({1, 3});
  probe.SetLate({2, 17});
  PortListModel list;
  list.Probe(map, probe, 0);
  EXPECT_EQ(list.Entries(), (Entries{{1, "COM1", "/dev/pts/41"}, {3, "COM3", "/dev/pts/43"}}));
  EXPECT_EQ(list.Late(), (Numbers{2, 17}));
  ASSERT_TRUE(list.Select(0));

  QComboBox box;
  ShowPortList(list, box);
  EXPECT_EQ(box.toolTip().toStdString(), "/dev/pts/41\nCOM2、COM17 未在 1 秒内打开，未列出");

  // Once they answer in time the tooltip is the device's path alone again.
  probe.SetLate({});
  list.Probe(map, probe, 0);
  EXPECT_TRUE(list.Late().empty());
  ShowPortList(list, box);
  EXPECT_EQ(box.toolTip().toStdString(), "/dev/pts/41");
}

// Real terminals put at chosen numbers, tried through QSerialPort; then none at all.
TEST(PortListOverPty, ListsThePortsThatOpenAndLeavesOutOneHeldElsewhere) {
  sim::PtyPair one, two, five, held, twelve;
  const FixedPortMap map({{1, one.SlavePath()},
                          {2, two.SlavePath()},
                          {5, five.SlavePath()},
                          {7, held.SlavePath()},
                          {12, twelve.SlavePath()}});
  // Another program has port 7 open.
  const FixedPortMap heldMap({{1, held.SlavePath()}});
  QtSerialLine other(heldMap);
  ASSERT_TRUE(other.Open(LineAddress::Port(1)));

  QtPortProbe probe(map);
  PortListModel list;
  list.Probe(map, probe, 0);
  EXPECT_EQ(list.Entries(), (Entries{{1, "COM1", one.SlavePath()},
                                     {2, "COM2", two.SlavePath()},
                                     {5, "COM5", five.SlavePath()},
                                     {12, "COM12", twelve.SlavePath()}}));
  EXPECT_EQ(list.SelectedIndex(), -1);

  // The probe has let every port go again: each listed one opens on the line.
  QtSerialLine line(map);
  for (const auto& entry : list.Entries())
    EXPECT_TRUE(line.Open(LineAddress::Port(entry.number))) << entry.text;

  const FixedPortMap none;
  QtPortProbe nothing(none);
  PortListModel empty;
  empty.Probe(none, nothing, 0);
  EXPECT_TRUE(empty.Entries().empty());
  EXPECT_EQ(empty.SelectedIndex(), -1);
}

}  // namespace
}  // namespace karvello
