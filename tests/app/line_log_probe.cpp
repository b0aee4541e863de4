// A short run of the tool's line for the diagnostics test: a voltage query to a simulated
// detector through the real serial line. Whatever Qt's logging rules say is printed on
// standard error as usual; the report goes to standard output. Status 0 when the report came.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cstdio>

#include "engine/engine.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/recording_texts.h"
#include "ui/presenter.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  karvello::sim::SimulatedDetector detector;  // address 1, 220 V
  const karvello::FixedPortMap map({{1, detector.SlavePath()}});
  karvello::QtSerialLine line(map);
  karvello::testing::PlainWindowTexts texts;
  karvello::Engine engine(line);
  karvello::Presenter presenter(engine, texts);
  if (!line.Open(karvello::LineAddress::Port(1))) {
    std::fprintf(stderr, "the simulated detector's port does not open\n");
    return 1;
  }

  texts.SetAddressText("1");
  presenter.Press(karvello::Operation::kQueryVoltage);
  const QDeadlineTimer deadline(3000);
  while (texts.LogText().empty() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  }
  std::printf("%s\n", texts.LogText().c_str());
  return texts.LogText().empty() ? 1 : 0;
}
