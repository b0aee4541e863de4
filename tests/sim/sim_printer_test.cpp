// What karvello-sim prints of its detector's log: every exchange once, in order, once finished,
// and how many it left out when it fell further behind than the log keeps.

#include "sim/sim_printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/slave_port.h"
#include "support/case_names.h"
#include "support/hex_bytes.h"

namespace karvello::sim {
namespace {

using test::PrintTo;
using namespace std::chrono_literals;
using testing::Hex;

// The printer's output, gathered in memory.
struct Printed {
  Printed() : file(open_memstream(&text, &size)) {}
  ~Printed() {
    std::fclose(file);
    std::free(text);
  }
  // How many times `what` stands in it.
  std::size_t Count(const std::string& what) {
    std::fflush(file);
    const std::string_view all(text, size);
    std::size_t n = 0;
    for (auto at = all.find(what); at != std::string::npos; at = all.find(what, at + 1)) ++n;
    return n;
  }
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* file;
};

struct PrintCase {
  const char* name;
  std::vector<int> rounds;  // exchanges logged before each print
  std::size_t printed;      // exchange lines printed in all
  std::size_t leftOut;      // 0: no line saying so
};

class PrinterTest : public ::testing::TestWithParam<PrintCase> {};

TEST_P(PrinterTest, PrintsEveryExchangeTheLogStillKeeps) {
  const PrintCase& c = GetParam();
  SimulatedDetector detector(std::vector<DetectorConfig>{{}}, LineConfig{});
  Printed out;
  ExchangePrinter printer(out.file);
  std::size_t logged = 0;
  for (int round : c.rounds) {
    for (int i = 0; i < round; ++i) detector.Respond(Hex("01 03 00 0F 00 01 B4 09"));
    logged += static_cast<std::size_t>(round);
    printer.PrintNew(detector);
    EXPECT_EQ(printer.Done(), logged);
  }
  EXPECT_EQ(out.Count("  recv  01 03 00 0F 00 01 B4 09\n"), c.printed);
  EXPECT_EQ(out.Count("  send  01 03 02 00 DC B9 DD\n"), c.printed);
  const std::string says = std::to_string(c.leftOut) + " exchange(s) left out";
  EXPECT_EQ(out.Count("left out"), c.leftOut == 0 ? 0U : 1U);
  if (c.leftOut != 0) {
    EXPECT_EQ(out.Count("  " + says + ": "), 1U)
        << std::string_view(out.text, std::min<std::size_t>(out.size, 200));
  }
}

const PrintCase kPrints[] = {{"KeepingUp", {5, 3, 0, 1}, 9, 0},
                             {"AllTheLogKeepsAtOnce", {10'000}, 10'000, 0},
                             {"OneMoreThanTheLogKeeps", {10'001}, 10'000, 1},
                             {"BehindAfterPrintingSome", {10, 10'005, 2}, 10'012, 5}};
INSTANTIATE_TEST_SUITE_P(Printer, PrinterTest, ::testing::ValuesIn(kPrints), test::CaseName{});

// A reply still to come is not printed, nor passed over: it is printed whole once finished.
TEST(ExchangePrinter, WaitsForAnUnfinishedReply) {
  SimulatedDetector detector;
  testing::SlavePort port(detector.SlavePath());
  Printed out;
  ExchangePrinter printer(out.file);
  detector.SetFault(Fault::PauseAfter(3, 300ms), 1);
  ASSERT_TRUE(port.Write(Hex("01 03 00 0F 00 01 B4 09")));
  ASSERT_EQ(port.Read(2s, 50ms).bytes, Hex("01 03 02"));
  ASSERT_EQ(detector.ExchangeCount(), 1U);
  printer.PrintNew(detector);
  EXPECT_EQ(printer.Done(), 0U);
  EXPECT_EQ(out.Count("recv"), 0U);

  ASSERT_TRUE(detector.WaitForExchanges(1, 2s));
  printer.PrintNew(detector);
  EXPECT_EQ(printer.Done(), 1U);
  EXPECT_EQ(out.Count("  send  01 03 02 00 DC B9 DD   (over "), 1U) << out.text;
}

}  // namespace
}  // namespace karvello::sim
